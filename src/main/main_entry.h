#pragma once
// The process entry: banner, switches, job file loading, parsing, the run and exit statuses.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_mode.h"
#include "config/config.h"

namespace vesk {

class Config;
class TaskProcedure;

inline constexpr int exit_success = 0;
inline constexpr int exit_error = 1;
inline constexpr int exit_incomplete_backup = 2;
inline constexpr int exit_usage = 127;

void print_usage();
std::string load_job_file(const std::string& path);
std::unique_ptr<TaskProcedure> create_task_procedure(const Config& config,
                                                     RecordRunCallback record_run);
// The process's arguments as one text, each quoted so that it splits back into the same
// arguments by the command-line rules that child command lines are split with.
std::string command_line_text();
std::string quote_argument(std::string_view argument);

int run_main(int argc, char** argv);

} // namespace vesk
