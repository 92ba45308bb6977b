#pragma once
// The Task Scheduler's XML text of the logon task. Plain text building, kept apart from the
// Windows backend so it is tested on every build.
#include <optional>
#include <string>

namespace kelvora::platform {

struct LogonTask {
    std::string program;     // full path, UTF-8
    std::string arguments;   // "--startup"
    std::string folder;      // where it starts
    std::string description; // what the Task Scheduler shows
    std::string user;        // the account's SID: the task starts at its logon only, as it
};
// The task definition: started at the user's logon, with the highest rights the user has,
// never stopped for running long or on battery. Nothing when a field holds a character
// XML can't carry (controls other than tab).
std::optional<std::string> logon_task_xml(const LogonTask& task);

} // namespace kelvora::platform
