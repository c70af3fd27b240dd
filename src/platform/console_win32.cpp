// Win32 arguments and console: the UTF-16 command line, binary standard streams.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

#include "platform/console.h"
#include "platform/win32/handle.h"

namespace vesk {

namespace {

struct LocalFreeDeleter {
    void operator()(wchar_t** pointer) const noexcept { ::LocalFree(pointer); }
};

} // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
    int count = 0;
    const std::unique_ptr<wchar_t*, LocalFreeDeleter> arguments(
        ::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!arguments) {
        return {argv, argv + argc};
    }
    std::vector<std::string> result;
    result.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        result.push_back(narrow(arguments.get()[i]));
    }
    return result;
}

void prepare_console() {
    ::SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

} // namespace vesk
