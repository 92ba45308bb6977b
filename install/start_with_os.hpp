#pragma once
// Shortcuts to the program and its start with the user's session: the chores an installer
// would do, reached from the settings screen and the command line.
#include <string>

#include "base/log.hpp"

namespace kelvora::install {

// The running program's file; its bare name when the OS won't say where it is.
std::string program_file();

// Shortcuts on the Desktop and in the menu of programs; false when any failed (logged).
bool create_shortcuts(const Log& log);
void remove_shortcuts();

struct AutostartReply {
    bool ok = false;
    std::string msg; // empty when there is nothing to tell the user
};
AutostartReply set_start_with_os(const Log& log, bool on);
// Asked of the system afresh each time.
bool start_with_os_enabled();

// The maintenance actions of the command line; each reports in the log.
void set_start_with_os_from_command_line(const Log& log, bool on);
// Turns start with the session off and removes the shortcuts (the caller puts the screen
// resolution back first).
void cleanup_from_command_line(const Log& log);

} // namespace kelvora::install
