// End-to-end cases as data: every directory below tests/e2e holds a `steps` file and optionally
// `tree` (the source tree) and job files. The runner builds the tree, runs the steps in a fresh
// scratch directory and checks what they expect; tests/e2e/README.md describes the format. The
// programs are started through the program's own child-process layer, so the cases run on every
// platform; a case that needs POSIX tools says so and is skipped elsewhere.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "support/case_file.h"
#include "support/child_process.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

constexpr std::string_view kPlatform = fs::path::preferred_separator == '/' ? "posix" : "windows";

// Paths given at compile time are made absolute at run time, in the form the running system
// takes (on a drive under Wine).
using testing::path_of;
using testing::utf8;

const fs::path kCases = fs::path(VESK_SOURCE_DIR) / "tests/e2e";

// Whether `text` matches `pattern`, in which * stands for any run of bytes and ? for one byte.
bool glob(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p, ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++, resume = t;
        } else if (star == std::string_view::npos) {
            return false;
        } else {
            p = star + 1, t = ++resume;
        }
    }
    return pattern.find_first_not_of('*', p) == std::string_view::npos;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + separator.size()) {
        end = std::min(text.find(separator, start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string join(const std::vector<std::string>& parts, const std::string& end = "\n") {
    std::string text;
    for (const std::string& part : parts) {
        text += part + end;
    }
    return text;
}

class Case {
public:
    explicit Case(const std::string& name) : dir_(kCases / name) {
        char today[9];
        const std::time_t now = std::time(nullptr);
        std::strftime(today, sizeof today, "%Y%m%d", std::gmtime(&now));
        const std::string src = utf8(scratch_ / "src"), dst = utf8(scratch_ / "dst");
        const std::string examples = utf8(fs::absolute(VESK_SOURCE_DIR "/examples"));
        vars_ = {{"@SRC@", src},
                 {"@DST@", dst},
                 {"@SCRATCH@", utf8(scratch_.path())},
                 {"@JOB@", utf8(scratch_ / "job.conf")},
                 {"@VESK@", vesk_},
                 {"@TEST_ARCHIVER@", utf8(fs::absolute(VESK_CHILD_PROGRAM))},
                 {"@ARCHIVERS@", utf8(fs::absolute(VESK_TEST_DATA "/archivers"))},
                 {"@TOOLS@", utf8(fs::absolute(VESK_SOURCE_DIR "/examples/tools"))},
                 {"@EXAMPLES@", examples},
                 {"@TODAY@", today},
                 // The placeholders of the example jobs.
                 {"/path/to/source", src},
                 {"/path/to/backups", dst},
                 {"/path/to/examples", examples}};
    }

    void run() {
        const std::string first = split(read_file(dir_ / "steps"), "\n").at(0);
        if (first.starts_with("only ") && !first.starts_with("only " + std::string(kPlatform))) {
            GTEST_SKIP() << dir_.filename().string() << "/steps:1: " << first;
        }
        if (fs::exists(dir_ / "job.conf")) {
            execute({{"job"}, {"job.conf"}}, scratch_.path());
        }
        for (const std::string file : {"tree", "steps"}) {
            const auto lines = split(read_file(dir_ / file), "\n");
            for (size_t n = 0; n < lines.size(); ++n) {
                where_ = dir_.filename().string() + "/" + file + ":" + std::to_string(n + 1) +
                         ": " + lines[n];
                line_ = lines[n];
                const std::vector<std::string> tokens = tokenize(lines[n]);
                if (!tokens.empty() && !tokens[0].starts_with("#") && tokens[0] != "only") {
                    execute(tokens, file == "tree" ? scratch_ / "src" : scratch_.path());
                }
            }
        }
    }

private:
    // Blank-separated words; "..." keeps blanks, and the escapes of case files (\" among them)
    // stand for the bytes they name. Then the placeholders are replaced in each word, so that
    // their values are taken as they are.
    std::vector<std::string> tokenize(const std::string& line) const {
        std::vector<std::string> tokens;
        bool quoting = false, in_word = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (!quoting && (c == ' ' || c == '\t')) {
                in_word = false;
                continue;
            }
            if (!std::exchange(in_word, true)) {
                tokens.emplace_back();
            }
            if (c == '"') {
                quoting = !quoting;
            } else {
                tokens.back() += line.substr(i, c == '\\' ? 2 : 1); // an escape stays whole
                i += c == '\\';
            }
        }
        for (std::string& token : tokens) {
            token = substitute(testing::unescape(token));
        }
        return tokens;
    }

    // The placeholders replaced; @RUN@ is the newest run directory of the destination.
    std::string substitute(std::string text) const {
        auto vars = vars_;
        if (text.find("@RUN@") != std::string::npos && fs::is_directory(vars_.at("@DST@"))) {
            const auto runs = testing::sorted_subdirectories(vars_.at("@DST@"));
            vars["@RUN@"] = runs.empty() ? "<no run>" : utf8(runs.back());
        }
        for (const auto& [from, to] : vars) {
            for (size_t at; (at = text.find(from)) != std::string::npos;) {
                text.replace(at, from.size(), to);
            }
        }
        return text;
    }

    // The words from `from` on; a word <NAME stands for the case's file NAME.
    std::vector<std::string> values(const std::vector<std::string>& t, size_t from) const {
        std::vector<std::string> words;
        for (size_t i = from; i < t.size(); ++i) {
            const bool file = t[i].starts_with("<");
            words.push_back(file ? substitute(read_file(dir_ / t[i].substr(1))) : t[i]);
        }
        return words;
    }

    void execute(const std::vector<std::string>& t, const fs::path& base) {
        const std::string& op = t[0];
        const auto path = [&](size_t i) { return base / path_of(t.at(i)); };
        if (op == "file") {
            testing::write_file(path(1), join(values(t, 2), ""));
        } else if (op == "link") {
            fs::create_directories(path(1).parent_path());
            fs::create_symlink(path_of(t.at(2)), path(1));
        } else if (op == "job") {
            testing::write_file(path_of(vars_.at("@JOB@")), substitute(read_file(dir_ / t.at(1))));
        } else if (op == "clash") { // run directories for the coming seconds, then wait for one
            const std::time_t at = std::time(nullptr) + 2;
            for (std::time_t s = at - 1; s <= at + 2; ++s) {
                char name[32];
                std::strftime(name, sizeof name, "%Y%m%d_%H%M%S_", std::gmtime(&s));
                fs::create_directories(path_of(vars_.at("@DST@")) / (name + t.at(1)));
            }
            std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(at));
        } else if (op == "vesk" || op == "run" || op == "now") {
            run_program(op == "vesk" ? values(t, 0) : values(t, 1), op != "now");
        } else if (op == "start") { // COUNT PROGRAM ARGS...: copies of a program, all at once
            space_runs(values(t, 2));
            for (int n = std::stoi(t.at(1)); n > 0; --n) {
                background_.push_back(std::make_unique<testing::ChildProcess>(
                    values(t, 2), std::vector<std::string>{}, utf8(scratch_.path())));
                vars_["@PID@"] = std::to_string(background_.back()->pid());
            }
        } else if (op == "until") { // STATUS PROGRAM ARGS...: again (for up to five seconds)
            for (int n = 0; n < 500; ++n) { // until it ends with STATUS; @RUN@ may change meanwhile
                run_program(values(tokenize(line_), 2), false);
                if (status_ == t.at(1)) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else if (op == "read") { // NAME FILE: @NAME@ stands for the file's first line
            vars_["@" + t.at(1) + "@"] = split(read_file(path(2)), "\n").at(0);
        } else if (op == "wait") { // for the programs started: statuses sorted, outputs joined
            wait_for_started();
        } else {
            check(t);
        }
    }

    // Run directories are named by the second: a run of VESK starts in a later second than the
    // one before it, unless the step says "now".
    void space_runs(const std::vector<std::string>& args, bool spaced = true) {
        if (std::find(args.begin(), args.end(), vesk_) != args.end()) {
            if (spaced && last_run_) {
                std::this_thread::sleep_until(*last_run_ + std::chrono::milliseconds(1100));
            }
            last_run_ = std::chrono::system_clock::now();
        }
    }

    void run_program(std::vector<std::string> args, bool spaced) {
        args[0] = args[0] == "vesk" ? vesk_ : args[0];
        space_runs(args, spaced);
        result_ = testing::run_command(args, utf8(scratch_.path())); // relative paths from there
        status_ = std::to_string(result_.status);
    }

    // Every program started is polled until all have ended, so that each notes its own end.
    void wait_for_started() {
        for (size_t ended = 0; ended < background_.size();) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ended = std::count_if(background_.begin(), background_.end(),
                                  [](auto& program) { return program->exited(); });
        }
        std::vector<std::string> statuses;
        result_ = {0, "", "", 1e9};
        for (auto& program : background_) {
            const testing::CommandResult one = program->wait();
            statuses.push_back(std::to_string(one.status));
            result_.out += one.out;
            result_.err += one.err;
            result_.seconds = std::min(result_.seconds, one.seconds);
        }
        background_.clear();
        std::sort(statuses.begin(), statuses.end());
        status_ = join(statuses, " ");
        status_.pop_back();
    }

    // SUBJECT OPERATION VALUES...; the subject is out, err, status (of the last program run),
    // runs (the names of the run directories, sorted) or a file (whose lines end with CR LF).
    void check(const std::vector<std::string>& t) {
        const std::string& s = t[0];
        std::string text, separator = "\n";
        if (s == "out" || s == "err" || s == "status" || s == "seconds") {
            text = s == "out"      ? result_.out
                   : s == "err"    ? result_.err
                   : s == "status" ? status_
                                   : std::to_string(result_.seconds);
        } else if (s == "runs") {
            for (const auto& run : testing::sorted_subdirectories(vars_.at("@DST@"))) {
                text += utf8(run.filename()) + "\n";
            }
        } else {
            const fs::path file = scratch_.path() / path_of(s);
            text = fs::exists(file) ? read_file(file) : "<missing>";
            separator = "\r\n";
        }
        std::vector<std::string> lines = split(text, separator);
        const std::string op = t.at(1);
        std::vector<std::string> expected = values(t, 2);
        const auto matching = [&](const std::string& pattern) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& line) { return glob(pattern, line); });
        };
        // Whether the last (or first) lines match the values as patterns, in order.
        const auto match_at = [&](bool at_end) {
            const size_t offset = at_end ? lines.size() - expected.size() : 0;
            return expected.size() <= lines.size() &&
                   std::equal(expected.begin(), expected.end(), lines.begin() + offset, glob);
        };
        bool ok = false;
        if (op == "is") {
            ok = text == join(expected, "");
        } else if (op == "has" || op == "lacks") {
            ok = (matching(expected.at(0)) > 0) == (op == "has");
        } else if (op == "count") {
            ok = matching(expected.at(1)) == std::stol(expected.at(0));
        } else if (op == "lines" || op == "sorted") {
            if (op == "sorted") {
                std::sort(lines.begin(), lines.end());
                std::sort(expected.begin(), expected.end());
            }
            ok = lines.size() == expected.size() && match_at(true);
        } else if (op == "below") {
            ok = std::stod(text) < std::stod(expected.at(0));
        } else if (op == "starts" || op == "ends") {
            ok = match_at(op == "ends");
        } else {
            FAIL() << where_ << ": unknown step '" << t[0] << "'";
        }
        EXPECT_TRUE(ok) << where_ << "\nactual:\n" << text.substr(0, 4000);
    }

    fs::path dir_;
    testing::ScratchDir scratch_;
    std::map<std::string, std::string> vars_;
    std::string where_;
    const std::string vesk_ = utf8(fs::absolute(VESK_BINARY));
    std::string line_;
    testing::CommandResult result_;
    std::string status_;
    std::vector<std::unique_ptr<testing::ChildProcess>> background_;
    std::optional<std::chrono::system_clock::time_point> last_run_;
};

class E2e : public ::testing::TestWithParam<std::string> {};

TEST_P(E2e, Case) {
    Case(GetParam()).run();
}

std::vector<std::string> case_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kCases)) {
        if (fs::exists(entry.path() / "steps")) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(Cases, E2e, ::testing::ValuesIn(case_names()),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace vesk
