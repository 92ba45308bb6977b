#pragma once
#include <string>

namespace kelvora::install {

// Whether the program starts with the user's session.
bool start_with_os_enabled();
// The maintenance actions of the command line; each reports in the log.
void uninstall_from_command_line(unsigned long pid_to_kill, bool has_pid);
void set_start_with_os_from_command_line(bool on);
void cleanup_from_command_line();

} // namespace kelvora::install
