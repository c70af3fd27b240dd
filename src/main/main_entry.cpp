#include "main/main_entry.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "config/parser.h"
#include "platform/text_format.h"

namespace vesk {

namespace {

constexpr uint64_t max_job_file_size = 1048576;

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

struct Switches {
    std::string job_file;
    bool dry_run = false;
    bool verbose_archiving = false;
    bool verbose_verification = false;
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

// Walks the switches; returns an exit status when the command line ends the program.
std::optional<int> read_switches(const std::vector<std::string>& args, Switches& switches) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool has_value = i + 1 < args.size();
        if (arg == "-h" || arg == "/?" || arg == "--help") {
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
    if (switches.job_file.empty()) {
        say("You must specify a '--cfg <cfgfile>' argument.");
        return exit_usage;
    }
    return std::nullopt;
}

// Until the job language and the run exist, the entry only walks the job text token by token,
// so that token errors reach the user with their line numbers.
void walk_tokens(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    while (parser.token_kind() != Parser::end_of_file) {
        parser.expect_one_of({Parser::left_paranthesis, Parser::right_paranthesis, Parser::comma,
                              Parser::identifier, Parser::integer, Parser::string,
                              Parser::end_of_file});
        parser.next_token();
    }
    say("Job file read. Running jobs is not available yet.");
}

int run(const std::vector<std::string>& args) {
    say("VESK 0.2.0\n");
    Switches switches;
    if (auto status = read_switches(args, switches)) {
        return *status;
    }
    const std::string job_text = load_job_file(switches.job_file);
    walk_tokens(job_text);
    say("VESK exiting.");
    return exit_success;
}

} // namespace

void print_usage() {
    for (const char* line : usage_lines) {
        say(line);
    }
    say("");
}

std::string load_job_file(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
        say(format("The argument '%s' did not seem to be a file.", path));
        return {};
    }
    if (static_cast<uint64_t>(info.st_size) > max_job_file_size) {
        say(format("The file '%s' is larger than one megabyte. It is highly unlikely to be a "
                   "configuration file.",
                   path));
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    if (!file || file.bad()) {
        throw std::runtime_error(format("Failed reading the job file '%s'.", path));
    }
    return content.str();
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
    process_arguments.assign(argv, argv + argc);
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
