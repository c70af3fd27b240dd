#pragma once
// The process's arguments and standard streams as the operating system hands them over.

#include <string>
#include <vector>

namespace vesk {

// The program's arguments in UTF-8, the program name first. POSIX: argv as given. Windows: the
// UTF-16 command line (GetCommandLineW) split by the system's rules, so that names outside the
// ANSI code page survive.
std::vector<std::string> program_arguments(int argc, char** argv);

// Makes standard output and error carry the program's UTF-8 bytes unchanged (Windows: binary
// mode, and a UTF-8 console). Nothing to do on POSIX.
void prepare_console();

} // namespace vesk
