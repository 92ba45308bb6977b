#pragma once
// The logon task, through the Task Scheduler's own COM interface (ITaskService) rather
// than schtasks.exe: the definition goes in whole as XML, and the answers are HRESULTs.
// Included only by backend files.
#include <string>

#include "platform/logon_task_xml.hpp"

namespace kelvora::platform::win {

// Creates or replaces the task name in the root folder, for the current user; false (after
// a log line) on failure.
bool register_logon_task(const wchar_t* name, LogonTask task);

enum class TaskRemoval { removed, absent, failed };
TaskRemoval delete_logon_task(const wchar_t* name);
bool logon_task_exists(const wchar_t* name);

} // namespace kelvora::platform::win
