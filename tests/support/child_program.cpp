// Test support: a small child program for the subprocess tests, in standard C++ only so that the
// same cases run on every system. It carries out its arguments as commands, in order:
//   out TEXT, err TEXT   write TEXT to standard output / error
//   args ...             write each further argument in brackets, and stop
//   env NAME             write the variable's value
//   pwd                  write the working directory (with forward slashes)
//   cat                  copy standard input to standard output until end-of-file
//   noinput              close standard input
//   seq N M              lines 1..N on standard output and 1..M on standard error, interleaved
//   sleep MS             wait
//   spawn ARGS, detach ARGS   run this program with ARGS (one text) and wait / do not wait
//   exit CODE            end with that code
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

void write(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int spawn(const std::string& self, const std::string& arguments, bool wait) {
    const std::string command = "\"" + self + "\" " + arguments;
#ifdef _WIN32
    return std::system(("\"" + std::string(wait ? "" : "start \"\" /b ") + command + "\"").c_str());
#else
    return std::system((command + (wait ? "" : " &")).c_str());
#endif
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        const std::string next = i + 1 < argc ? argv[i + 1] : "";
        i += command == "args" || command == "cat" || command == "pwd" || command == "noinput" ? 0
                                                                                               : 1;
        if (command == "out" || command == "err") {
            write(command == "out" ? stdout : stderr, next);
        } else if (command == "args") {
            while (++i < argc) {
                write(stdout, "[" + std::string(argv[i]) + "]");
            }
        } else if (command == "env") {
            const char* value = std::getenv(next.c_str());
            write(stdout, value != nullptr ? value : "");
        } else if (command == "pwd") {
            write(stdout, std::filesystem::current_path().generic_string());
        } else if (command == "cat") {
            for (int c; (c = std::getchar()) != EOF;) {
                std::putchar(c);
            }
            std::fflush(stdout);
        } else if (command == "noinput") {
            std::fclose(stdin);
        } else if (command == "seq") {
            const long out_lines = std::stol(next), err_lines = std::stol(argv[++i]);
            std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
            for (long n = 1; n <= std::max(out_lines, err_lines); ++n) {
                const std::string line = std::to_string(n) + "\n";
                if (n <= out_lines)
                    std::fwrite(line.data(), 1, line.size(), stdout);
                if (n <= err_lines)
                    std::fwrite(line.data(), 1, line.size(), stderr);
            }
            std::fflush(stdout);
            std::fflush(stderr);
        } else if (command == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(next)));
        } else if (command == "spawn" || command == "detach") {
            spawn(argv[0], next, command == "spawn");
        } else if (command == "exit") {
            return std::stoi(next);
        } else {
            write(stderr, "unknown command " + command + "\n");
            return 2;
        }
    }
    return 0;
}
