// Test support: a small child program for the subprocess tests and the archiver of the end-to-end
// cases, in standard C++ only so that the same cases run on every system. It carries out its
// arguments as commands, in order:
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
//   store ARCHIVE LIST   append every file LIST names (one a line, LF or CR LF) to ARCHIVE and
//                        write "<hash, 16 hex digits>  <path>" for each; unreadable ones are left
//                        out
//   extract ARCHIVE DIR LIST   write the newest copy of every file LIST names from ARCHIVE below
//                        DIR (parent directories made)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
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

// A path from UTF-8; on Windows in the long-path form, for paths beyond 260 characters.
std::filesystem::path from_utf8(const std::string& text) {
    std::filesystem::path path(std::u8string(text.begin(), text.end()));
#ifdef _WIN32
    path = L"\\\\?\\" + std::filesystem::absolute(path).make_preferred().wstring();
#endif
    return path;
}

int store(const std::string& archive_name, const std::string& list_name) {
    std::ifstream list(from_utf8(list_name), std::ios::binary);
    std::ofstream archive(from_utf8(archive_name), std::ios::binary | std::ios::app);
    for (std::string line; list && archive && std::getline(list, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        std::ifstream file(from_utf8(line), std::ios::binary);
        const std::string content{std::istreambuf_iterator<char>(file), {}};
        if (file) {
            archive << line << '\n' << content.size() << '\n' << content;
            const auto hash = static_cast<unsigned long long>(std::hash<std::string>()(content));
            std::printf("%016llx  %s\n", hash, line.c_str());
        }
    }
    return list.eof() && archive ? 0 : 1;
}

std::set<std::string> read_list(const std::string& list_name) {
    std::set<std::string> names;
    std::ifstream list(from_utf8(list_name), std::ios::binary);
    for (std::string line; std::getline(list, line);) {
        names.insert(line.erase(line.find_last_not_of('\r') + 1));
    }
    return names;
}

int extract(const std::string& archive_name, const std::string& dir, const std::string& list) {
    const std::set<std::string> names = read_list(list);
    std::ifstream archive(from_utf8(archive_name), std::ios::binary);
    std::map<std::string, std::string> files;
    for (std::string name, size; std::getline(archive, name) && std::getline(archive, size);) {
        std::string content(std::stoul(size), '\0');
        archive.read(content.data(), static_cast<std::streamsize>(content.size()));
        if (names.count(name) != 0) {
            files[name] = std::move(content);
        }
    }
    for (const auto& [name, content] : files) {
        const std::filesystem::path path = from_utf8(dir + "/" + name);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    return archive.eof() ? 0 : 1;
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
        } else if (command == "store") {
            return store(next, argv[++i]);
        } else if (command == "extract" && i + 2 < argc) {
            return extract(next, argv[i + 1], argv[i + 2]);
        } else if (command == "exit") {
            return std::stoi(next);
        } else {
            write(stderr, "unknown command " + command + "\n");
            return 2;
        }
    }
    return 0;
}
