#pragma once
#include "base/log.hpp"

namespace kelvora::install {

// Whether the program starts with the user's session.
bool start_with_os_enabled();
// The maintenance actions of the command line; each reports in the log.
void uninstall_from_command_line(const Log& log, unsigned long pid_to_kill, bool has_pid);
void set_start_with_os_from_command_line(const Log& log, bool on);
void cleanup_from_command_line(const Log& log);

} // namespace kelvora::install
