#include "formats/recover_format.h"

#include <stdexcept>

#include "access/libpcre.h"
#include "config/format_spec.h"
#include "formats/target_format.h"
#include "platform/logging.h"
#include "platform/subprocess.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr size_t kListfileBlockBytes = 64 * 1024;

} // namespace

RecoverFormatHandler::RecoverFormatHandler(const Logger& log,
                                           const FormatSpecification& format_spec,
                                           RecoverPaths paths, bool verbose)
    : log_(log), format_spec_(format_spec), paths_(std::move(paths)), verbose_(verbose),
      variable_replacer_(make_variable_replacer()) {}

RecoverFormatHandler::~RecoverFormatHandler() = default;

std::string RecoverFormatHandler::expand_variables(std::string_view text) {
    const FormatVariableValues values{paths_.target_dir, paths_.source_path, paths_.archive_path,
                                      paths_.listfile_path};
    const ReplaceCallback callback = [&](uint32_t, std::string_view variable, bool matched) {
        if (!matched) {
            return std::string();
        }
        if (auto value = format_variable_value(variable.substr(1, variable.size() - 2), values)) {
            return *value;
        }
        throw std::runtime_error("The variable '" + std::string(variable) + "' does not exists");
    };
    return variable_replacer_->replace_all(text, callback, 0, 0);
}

std::string RecoverFormatHandler::command_line() {
    const FormatSpecificationRecover& method = *format_spec_.recover;
    return format("\"%s\" %s", method.executable.value_or(""),
                  expand_variables(method.arguments.value_or("")));
}

std::vector<std::string> RecoverFormatHandler::problems() {
    std::vector<std::string> found;
    const auto problem = [&](const std::string& text) {
        found.push_back(format("Format '%s': %s", format_spec_.name, text));
    };
    if (!format_spec_.recover) {
        problem("the format has no recover method, so its archives cannot be restored by this "
                "program. Add recover(executable(\"...\"), arguments(\"...\")) to its "
                "format_specification.");
        return found;
    }
    try {
        if (find_program(command_line()).empty()) {
            problem(format("the recover program '%s' cannot be found or is not executable.",
                           format_spec_.recover->executable.value_or("")));
        }
        const std::string workdir = expand_variables(format_spec_.recover->workdir.value_or(""));
        if (!workdir.empty() && !VfsPath(false, workdir).is_directory()) {
            problem(format("the working directory '%s' of the recover method does not exist.",
                           workdir));
        }
    } catch (const std::exception& error) {
        problem(error.what());
    }
    return found;
}

void RecoverFormatHandler::write_listfile(const std::vector<std::string_view>& paths) {
    const std::unique_ptr<VfsFile> file =
        VfsFile::CreatePrivate(VfsPath(true, paths_.listfile_path));
    std::string block;
    for (const std::string_view path : paths) {
        block.append(path);
        block.append("\r\n");
        if (block.size() >= kListfileBlockBytes) {
            file->Write(block);
            block.clear();
        }
    }
    file->Write(block);
    file->Close();
}

uint32_t RecoverFormatHandler::run() {
    const std::string command = command_line();
    const std::string workdir = expand_variables(format_spec_.recover->workdir.value_or(""));
    log_.log("Executing '%s' recovery: '%s'.", format_spec_.name, command);
    std::string error_text;
    uint64_t error_bytes_dropped = 0;
    const ProcessCallback callback = [&](const std::function<uint32_t(std::string_view)>&,
                                         std::string_view output, std::string_view error,
                                         bool /*running*/) -> int32_t {
        if (verbose_ && !output.empty()) {
            log_.log("%s", output);
        }
        append_bounded(error_text, error, error_bytes_dropped);
        return 0;
    };
    const auto process = run_with_io("", command, workdir, {}, callback, kProgramPipeBufferSize,
                                     kProgramPollIntervalMs);
    if (error_bytes_dropped > 0) {
        error_text.append(
            format("\n(%s further bytes of error output left out)", error_bytes_dropped));
    }
    if (!error_text.empty()) {
        log_.log("Error output:\n%s", error_text);
    }
    const uint32_t exit_code = process->exit_code();
    log_.log("The recover program of '%s' exited with code %s.", format_spec_.name, exit_code);
    return exit_code;
}

} // namespace vesk
