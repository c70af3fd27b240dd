// A small archiver for end-to-end runs on any platform, without a shell or outside tools.
//   test_archiver store ARCHIVE LISTFILE   appends every listed file (paths relative to the
//       current directory, one a line, CR LF or LF) to ARCHIVE and prints "<fnv-1a 64 hex>  <path>"
//       for each file stored; a file it cannot read is named on standard error and left out.
//   test_archiver fail                     stores nothing, complains and exits with status 1.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

std::filesystem::path from_utf8(const std::string& text) {
    std::filesystem::path path(std::u8string(text.begin(), text.end()));
#ifdef _WIN32
    // Windows needs the long-path form for paths beyond 260 characters.
    path = L"\\\\?\\" + std::filesystem::absolute(path).make_preferred().wstring();
#endif
    return path;
}

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    return hash;
}

int store(const std::string& archive_name, const std::string& list_name) {
    std::ifstream list(from_utf8(list_name), std::ios::binary);
    std::ofstream archive(from_utf8(archive_name), std::ios::binary | std::ios::app);
    if (!list || !archive) {
        std::cerr << "cannot open the list or the archive\n";
        return 1;
    }
    for (std::string line; std::getline(list, line);) {
        line.erase(line.find_last_not_of('\r') + 1); // a CR LF line end
        std::ifstream file(from_utf8(line), std::ios::binary);
        if (!file) {
            std::cerr << "cannot read " << line << '\n';
            continue;
        }
        const std::string content{std::istreambuf_iterator<char>(file), {}};
        archive << line << '\n' << content.size() << '\n' << content;
        std::printf("%016llx  %s\n", static_cast<unsigned long long>(fnv1a(content)), line.c_str());
    }
    return archive ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "store" && argc == 4) {
        return store(argv[2], argv[3]);
    }
    std::cerr << (mode == "fail" ? "failing on purpose\n" : "usage: test_archiver store|fail\n");
    return 1;
}
