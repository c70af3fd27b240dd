#include "main/main_entry.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <typeinfo>

#include "backup/backup_mode.h"
#include "backup/restore.h"
#include "config/config.h"
#include "config/parser.h"
#include "index/archive_db.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr uint64_t max_job_file_size = 1048576;
constexpr std::string_view recorded_version = "VESK 0.1.0";

const char* const usage_lines[] = {
    "Vesk",
    "Backs up data into a self recovering archive.",
    "",
    "Usage:",
    "    vesk.exe [ <switches> ] jobfile.conf",
    "",
    "Switches:",
    "    --mode [ full | inc ]  Specify the backup mode.",
    "            full           Makes full backup, regardless of prior backups.",
    "            inc            (Default) Makes incremental backups. If no prior backups, this is "
    "same as full.",
    "    --dry                  Do not archive anything. Fast way to test if configuration works "
    "as expected.",
    "    --verbose-archiving    Pass through the output from the archive command",
    "    --verbose-verification Pass through the output from the verify command",
};

const char* const mode_names[] = {"f",    "i",    "r",      "w",       "inc",       "win",
                                  "full", "roll", "window", "rolling", "windowing", "incremental"};

std::vector<std::string> process_arguments;

enum class Action { Backup, Restore, List, Prune };

struct Switches {
    std::string job_file;
    bool dry_run = false;
    bool verbose_archiving = false;
    bool verbose_verification = false;
    Action action = Action::Backup;
    // The switch that chose the action, for messages.
    std::string action_switch;
    std::string restore_dir;
    StoredFilesRequest request;
    // The switches given that only some actions take.
    std::vector<std::string> request_switches;
    std::optional<int64_t> keep;
};

void say(std::string_view line) {
    std::cout << line << '\n';
}

bool is_mode_name(std::string_view name) {
    for (const char* mode : mode_names) {
        if (name == mode) {
            return true;
        }
    }
    return false;
}

// A whole non-negative decimal number, or nothing.
std::optional<int64_t> count_value(std::string_view text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    return std::stoll(std::string(text));
}

// Chooses the action; a second action is an error.
std::optional<int> choose_action(Switches& switches, Action action, const std::string& arg) {
    if (switches.action != Action::Backup) {
        say(format("The switches '%s' and '%s' cannot be used together.", switches.action_switch,
                   arg));
        return exit_usage;
    }
    switches.action = action;
    switches.action_switch = arg;
    return std::nullopt;
}

// Reads the switches of restore, list and prune; nothing when the argument is none of them.
// Sets `status` when the command line ends the program.
bool read_stored_files_switch(const std::vector<std::string>& args, size_t& i, Switches& switches,
                              std::optional<int>& status) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    const auto value = [&](std::string_view what) -> const std::string* {
        if (!has_value) {
            say(format("You must specify %s following '%s'.", what, arg));
            status = exit_usage;
            return nullptr;
        }
        return &args[++i];
    };
    if (arg == "--restore") {
        if (const std::string* dir = value("a directory")) {
            switches.restore_dir = *dir;
            status = choose_action(switches, Action::Restore, arg);
        }
    } else if (arg == "--list" || arg == "--prune") {
        status = choose_action(switches, arg == "--list" ? Action::List : Action::Prune, arg);
    } else if (arg == "--run") {
        if (const std::string* name = value("a run directory name")) {
            switches.request.run_name = *name;
            switches.request_switches.push_back(arg);
        }
    } else if (arg == "--path") {
        if (const std::string* pattern = value("a path pattern")) {
            switches.request.path_patterns.push_back(*pattern);
            switches.request_switches.push_back(arg);
        }
    } else if (arg == "--keep") {
        if (const std::string* number = value("a number")) {
            switches.keep = count_value(*number);
            if (!switches.keep) {
                say(format("The number '%s' is invalid.", *number));
                status = exit_usage;
            }
        }
    } else {
        return false;
    }
    return true;
}

// Switches that the chosen action does not take.
std::optional<int> check_combination(const Switches& switches) {
    const bool reads_index = switches.action == Action::Restore || switches.action == Action::List;
    if (!reads_index && !switches.request_switches.empty()) {
        say(format("The switch '%s' needs '--restore' or '--list'.",
                   switches.request_switches.front()));
        return exit_usage;
    }
    if (switches.keep && switches.action != Action::Prune) {
        say("The switch '--keep' needs '--prune'.");
        return exit_usage;
    }
    if (switches.dry_run && reads_index) {
        say(format("The switches '%s' and '--dry' cannot be used together.",
                   switches.action_switch));
        return exit_usage;
    }
    return std::nullopt;
}

// Walks the switches; returns an exit status when the command line ends the program.
std::optional<int> read_switches(const std::vector<std::string>& args, Switches& switches) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool has_value = i + 1 < args.size();
        std::optional<int> status;
        if (read_stored_files_switch(args, i, switches, status)) {
            if (status) {
                return status;
            }
        } else if (arg == "-h" || arg == "/?" || arg == "--help") {
            print_usage();
        } else if (arg == "--cfg") {
            if (!has_value) {
                say(format("You must specify a config file following '%s'.", arg));
                return exit_usage;
            }
            switches.job_file = args[++i];
        } else if (arg == "--mode") {
            if (!has_value) {
                say(format("You must specify a mode following '%s'.", arg));
                return exit_usage;
            }
            if (!is_mode_name(args[++i])) {
                say(format("The mode '%s' is invalid.", args[i]));
                return exit_usage;
            }
        } else if (arg == "--dry") {
            switches.dry_run = true;
        } else if (arg == "--verbose-archiving") {
            switches.verbose_archiving = true;
        } else if (arg == "--verbose-verification") {
            switches.verbose_verification = true;
        } else {
            say(format("The argument '%s' is invalid.", arg));
            return exit_usage;
        }
    }
    if (auto status = check_combination(switches)) {
        return status;
    }
    if (switches.job_file.empty()) {
        say("You must specify a '--cfg <cfgfile>' argument.");
        return exit_usage;
    }
    return std::nullopt;
}

// Restore, list or prune; returns the exit status.
int run_stored_files_action(const Switches& switches, const Config& config) {
    switch (switches.action) {
    case Action::Restore: {
        const RestoreSummary summary =
            restore_files(config, switches.request, switches.restore_dir);
        const int64_t failed = summary.missing + summary.differing;
        if (failed > 0) {
            say(format("%s files did not come back as stored; the lines starting with 'Missing:' "
                       "or 'Differs:' name them.",
                       failed));
        }
        return failed > 0 ? exit_incomplete_backup : exit_success;
    }
    case Action::List:
        list_stored_files(config, switches.request);
        return exit_success;
    case Action::Prune:
        prune_run_directories(config, switches.keep.value_or(1), switches.dry_run);
        return exit_success;
    case Action::Backup:
        break;
    }
    return exit_error;
}

// Says what a completed run could not back up, each kind with what the user can do about it;
// returns the exit status.
int report_incomplete_backup(const TaskProcedure& procedure, bool dry_run) {
    const int64_t unlistable = procedure.summary().unlistable_count;
    const int64_t failed = dry_run ? 0 : procedure.summary().retryable_failures();
    if (failed > 0) {
        say(format("%s files could not be backed up in this run; the next run lists them again.",
                   failed));
    }
    if (!procedure.summary().failed_files_path.empty()) {
        say(format("The files that failed are named in '%s'; the run log '%s' tells why.",
                   procedure.summary().failed_files_path, procedure.run_log_name()));
    }
    if (unlistable > 0) {
        say(format("%s files were left out because their names hold a line break or are not "
                   "valid UTF-8; they are left out again until they are renamed (the run log "
                   "names them).",
                   unlistable));
    }
    if (procedure.summary().skipped_count > 0) {
        say(format("%s entries were skipped by the scan: directories that could not be read or "
                   "paths too long (the run log names them).",
                   procedure.summary().skipped_count));
    }
    return failed > 0 || unlistable > 0 || procedure.summary().skipped_count > 0
               ? exit_incomplete_backup
               : exit_success;
}

int run(const std::vector<std::string>& args) {
    say("VESK " VESK_VERSION "\n");
    Switches switches;
    if (auto status = read_switches(args, switches)) {
        return *status;
    }
    const std::string job_text = load_job_file(switches.job_file);
    std::unique_ptr<Config> config = parse_job(job_text);
    config->dry_run = switches.dry_run;
    config->verbose_archiving = switches.verbose_archiving;
    config->verbose_verification = switches.verbose_verification;
    if (switches.action != Action::Backup) {
        const int status = run_stored_files_action(switches, *config);
        say("VESK exiting.");
        return status;
    }
    auto record_run = [&job_text](ArchiveDb& db) {
        return db.add_run(recorded_version, command_line_text(), job_text);
    };
    std::unique_ptr<TaskProcedure> procedure = create_task_procedure(*config, record_run);
    procedure->run();
    if (!config->dry_run) {
        say(format("Index committed in %s ms.",
                   static_cast<int64_t>(procedure->summary().commit_seconds * 1000)));
    }
    const int status = report_incomplete_backup(*procedure, config->dry_run);
    say("VESK exiting.");
    return status;
}

} // namespace

std::unique_ptr<TaskProcedure> create_task_procedure(const Config& config,
                                                     RecordRunCallback record_run) {
    const Mode& mode = *config.mode;
    const std::type_info& kind = typeid(mode);
    if (kind == typeid(FullMode)) {
        return std::make_unique<TaskProcedureFull>(config, std::move(record_run));
    }
    if (kind == typeid(IncrementalMode)) {
        return std::make_unique<TaskProcedureIncremental>(config, std::move(record_run));
    }
    if (kind == typeid(WindowMode)) {
        return std::make_unique<TaskProcedureWindow>(config, std::move(record_run));
    }
    if (kind == typeid(RollingMode)) {
        return std::make_unique<TaskProcedureRolling>(config, std::move(record_run));
    }
    throw std::runtime_error("Unknown backup mode.");
}

void print_usage() {
    for (const char* line : usage_lines) {
        say(line);
    }
    say("");
}

std::string load_job_file(const std::string& path) {
    // One byte past the limit is enough to tell a file that is too large, whatever its size
    // said before reading.
    std::optional<std::string> content;
    try {
        content = read_regular_file_prefix(VfsPath(false, path), max_job_file_size + 1);
    } catch (const VfsException&) {
        throw std::runtime_error(format("Failed reading the job file '%s'.", path));
    }
    if (!content) {
        say(format("The argument '%s' did not seem to be a file.", path));
        return {};
    }
    if (content->size() > max_job_file_size) {
        say(format("The file '%s' is larger than one megabyte. It is highly unlikely to be a "
                   "configuration file.",
                   path));
        return {};
    }
    return std::move(*content);
}

std::string quote_argument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string_view::npos) {
        return std::string(argument);
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string command_line_text() {
    std::string text;
    for (const std::string& argument : process_arguments) {
        if (!text.empty()) {
            text += ' ';
        }
        text += quote_argument(argument);
    }
    return text;
}

int run_main(int argc, char** argv) {
    process_arguments = program_arguments(argc, argv);
    prepare_console();
    install_interrupt_handlers();
    try {
        const int status = run(process_arguments);
        std::cout.flush();
        return status;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Error: " << e.what() << '\n';
        return exit_error;
    }
}

} // namespace vesk
