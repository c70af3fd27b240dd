// POSIX arguments and console: argv is already the program's bytes.

#include "platform/console.h"

namespace vesk {

std::vector<std::string> program_arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void prepare_console() {}

} // namespace vesk
