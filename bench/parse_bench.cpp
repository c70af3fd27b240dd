// Parse and validate time of a one-mebibyte job file of realistic directives, and the cost of
// applying the selection lists and the format selection to file entries.
//
// Usage: parse_bench [repeats]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/parser.h"
#include "support/fake_entry.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string format_specification(int n) {
    const std::string name = "fmt" + std::to_string(n);
    if (n % 2 == 0) {
        return "format_specification(\"" + name +
               "\",\n"
               "    archive(executable(\"C:\\Program Files\\7-Zip\\7z.exe\"),\n"
               "            arguments(\"a -bb1 -mx=5 \"\"%archive%.7z\"\" @%listfile16%\"),\n"
               "            workdir(\"%srcdir%\"),\n"
               "            filepattern(\"^\\+ (.*)$\", 1)),\n"
               "    recover(executable(\"7z.exe\"), arguments(\"x %archive%\"),\n"
               "            copy(\"C:\\Tools\\7z.exe\", \"tools/7z.exe\")))\n";
    }
    return "format_specification(\"" + name +
           "\", // archived by tar, checked by a verifier\n"
           "    archive(executable(\"/usr/bin/tar\"), arguments(\"-cf %archive%.tar -T "
           "%listfile%\")),\n"
           "    verify(executable(\"/usr/bin/sha256sum\"), arguments(\"-c %dstdir%/sums\"),\n"
           "           filepattern(\"^([0-9a-f]{64})  (.*)$\", 2, 1)))\n";
}

std::string selection_item(int n) {
    const std::string k = std::to_string(n);
    switch (n % 4) {
    case 0:
        return "    exclude(name(\"*." + k + ".tmp\") or path(\"cache" + k + "/**\")),\n";
    case 1:
        return "    include(larger(" + k + "k) and not name_re(\"\\.(bak|old)" + k + "$\")),\n";
    case 2:
        return "    exclude(older(\"" + std::to_string(n % 90) + "d 12h\") and parent(\"logs/" + k +
               "\")),\n";
    default:
        return "    include(path(\"projects/**/src/*." + k + "\") or younger(\"30m\")),\n";
    }
}

std::string realistic_job(size_t target) {
    std::string job = "# Nightly backup of the workstation\n"
                      "source_dir(\"C:\\Users\\me\")\n"
                      "destination_dir(\"E:\\Backup\")\n"
                      "mode(incremental(7))\n"
                      "verify_select(include(1, \"a\", \"b\"), exclude(2, \"c\", \"d\"))\n";
    int formats = 0;
    std::string select_format = "select_format(\n    format(\"fmt0\"),\n";
    std::string select_files = "select_files(include(),\n";
    std::string select_dirs = "select_dirs(\n";
    int n = 0;
    while (job.size() + select_format.size() + select_files.size() + select_dirs.size() < target) {
        if (n % 3 == 0) {
            job += format_specification(formats++);
        }
        select_files += selection_item(n);
        select_dirs += "    exclude(name(\".git\") or name(\"node_modules\") or path(\"tmp" +
                       std::to_string(n) + "/**\")),\n";
        if (n % 3 == 1 && formats > 1) {
            select_format += "    format(\"fmt" + std::to_string(n % formats) + "\", name(\"*.x" +
                             std::to_string(n) + "\") and larger(1m)),\n";
        }
        ++n;
    }
    return job + select_dirs + ")\n" + select_files + ")\n" + select_format + ")\n";
}

std::vector<vesk::testing::FakeEntry> sample_entries(size_t count) {
    static const char* const names[] = {"readme.txt",       "main.cpp",   "photo.JPG",
                                        "\xC3\xA4rger.doc", "data.7.tmp", "notes.md"};
    std::vector<vesk::testing::FakeEntry> entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        entries.emplace_back("projects/p" + std::to_string(i % 97) + "/src/" + names[i % 6], i * 37,
                             static_cast<int64_t>(i % 10000) * 60);
    }
    return entries;
}

} // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string job = realistic_job(1 << 20);

    std::vector<double> times;
    std::unique_ptr<vesk::Config> config;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        config = vesk::parse_job(job);
        times.push_back(seconds_since(start));
    }
    std::sort(times.begin(), times.end());
    std::printf("job text: %zu bytes, %zu format specifications, %zu select_files items, %zu "
                "format conditions\n",
                job.size(), config->format_specifications.size(), config->select_files.items.size(),
                config->select_format->conditions.size());
    std::printf("parse + validate: best %.3f s, median %.3f s over %d runs\n", times.front(),
                times[times.size() / 2], repeats);

    // A short list like a real job's, applied to many entries.
    const auto small = vesk::parse_job(
        "select_files(include(), exclude(name(\"*.tmp\") or path(\"**/cache/**\")), "
        "include(path(\"projects/**\")))\n"
        "select_format(format(\"a\"), format(\"a\", name_re(\"\\.jpe?g$\") or larger(1g)))\n"
        "format_specification(\"a\", archive(executable(\"x\"), arguments(\"y\"), "
        "filepattern(\"(.*)\", 1)))");
    const auto entries = sample_entries(1000000);
    auto start = Clock::now();
    size_t selected = 0;
    for (const auto& e : entries) {
        selected += small->select_files.selects(e) && small->select_format->choose(e) ? 1 : 0;
    }
    const double elapsed = seconds_since(start);
    std::printf("select_files + select_format on %zu entries: %.3f s (%.0f ns per entry, %zu "
                "selected)\n",
                entries.size(), elapsed, elapsed * 1e9 / entries.size(), selected);
    return 0;
}
