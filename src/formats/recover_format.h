#pragma once
// The recover method of one format in a restore: the restore list file of one archive, the
// variables of the method's command texts, and the run of its program.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

class FormatSpecification;
class Logger;
class Regex_replace;
class VfsFile;

// The values of a recover method's variables.
struct RecoverPaths {
    std::string target_dir;    // %dstdir%: where the files are restored to
    std::string source_path;   // %srcdir%: the job's source directory
    std::string archive_path;  // %archive%: the archive in its run directory
    std::string listfile_path; // %listfile%, %listfile16%: the restore list
};

class RecoverFormatHandler {
public:
    // The format must have a recover method (see problems()).
    RecoverFormatHandler(const Logger& log, const FormatSpecification& format_spec,
                         RecoverPaths paths, bool verbose);
    ~RecoverFormatHandler();
    RecoverFormatHandler(const RecoverFormatHandler&) = delete;
    RecoverFormatHandler& operator=(const RecoverFormatHandler&) = delete;

    // What would keep the recover method from running, one text per problem, each naming the
    // format: no recover method, a program that cannot be found, an unknown variable.
    std::vector<std::string> problems();
    // Writes the restore list: one relative path per line, as a backup list file holds them.
    void write_listfile(const std::vector<std::string_view>& paths);
    // Runs the recover program until it ends; logs its error output and returns its exit code.
    uint32_t run();

private:
    std::string expand_variables(std::string_view text);
    std::string command_line();

    const Logger& log_;
    const FormatSpecification& format_spec_;
    RecoverPaths paths_;
    bool verbose_;
    std::unique_ptr<Regex_replace> variable_replacer_;
};

} // namespace vesk
