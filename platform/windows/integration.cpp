#include "platform/integration.hpp"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "platform/process.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/logon_task.hpp"
#include "platform/windows/security.hpp"
#include "platform/windows/shell_link.hpp"
#include "platform/windows/system_folder.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kRunValue = L"Kelvora";

constexpr const wchar_t* kTaskName = L"Kelvora";
constexpr const char* kDescription = "Kelvora · soporte remoto";

std::string autostart_command(const std::string& program) {
    return "\"" + program + "\" --startup";
}

bool run_value_exists() {
    return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS;
}

bool delete_run_value() {
    const LSTATUS r = RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        win::report_failure("RegDeleteKeyValueW", static_cast<unsigned long>(r));
    return r == ERROR_SUCCESS;
}

bool set_run_value(const std::string& command) {
    const std::wstring data = win::widen(command);
    const LSTATUS r = RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, data.c_str(),
                                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    if (r != ERROR_SUCCESS) win::report_failure("RegSetKeyValueW", static_cast<unsigned long>(r));
    return r == ERROR_SUCCESS;
}

// Someone other than the administrators and the system may write, replace or re-permission
// the file or folder (or what is created in it), or its permissions can't be read.
bool writable_by_others(const std::filesystem::path& path) {
    const auto access = win::object_access(path);
    return !access || !only_privileged_write(*access);
}

// The logon task runs the program with the highest rights at every logon, without a
// prompt: only a program file that the user's own programs can't replace may have it.
bool program_protected(const std::string& program) {
    const std::filesystem::path file(win::widen(program));
    return file.has_parent_path() && !writable_by_others(file) &&
           !writable_by_others(file.parent_path());
}

} // namespace

namespace {

// Kelvora.lnk on the Desktop and in the Start menu's Programs; nothing for a folder the
// system won't name.
std::vector<std::optional<std::filesystem::path>> shortcut_files() {
    std::vector<std::optional<std::filesystem::path>> files;
    for (const auto& [id, name] :
         {std::pair{&FOLDERID_Desktop, "SHGetKnownFolderPath(Desktop)"},
          std::pair{&FOLDERID_Programs, "SHGetKnownFolderPath(Programs)"}}) {
        const auto folder = win::known_folder(*id, name);
        files.push_back(folder ? std::optional(*folder / L"Kelvora.lnk") : std::nullopt);
    }
    return files;
}

} // namespace

// The shell's own shortcut interface; each file is read back, since a shell that accepts
// the call and writes nothing would otherwise count as done.
bool create_shortcuts(const ShortcutTarget& t) {
    const win::ShellLink link{win::widen(t.program), win::widen(t.folder),
                              win::widen(t.description), win::widen(t.program)};
    bool all = true;
    for (const auto& file : shortcut_files()) {
        const auto back =
            file && win::write_shell_link(*file, link) ? win::read_shell_link(*file) : std::nullopt;
        all = all && back && back->target == link.target;
    }
    return all;
}

void remove_shortcuts() {
    for (const auto& file : shortcut_files()) {
        std::error_code ec;
        if (file) std::filesystem::remove(*file, ec);
    }
}

AutostartOn enable_autostart(const std::string& program) {
    const std::string command = autostart_command(program);
    // The logon task starts the program with the highest rights the user has; only an
    // administrator may create it. The Run value starts it with standard rights.
    const bool admin = is_admin();
    const bool protected_file = admin && program_protected(program);
    const std::filesystem::path file(win::widen(program));
    if (protected_file &&
        win::register_logon_task(
            kTaskName,
            {program, "--startup", win::narrow(file.parent_path().wstring()), kDescription, ""})) {
        delete_run_value();
        return AutostartOn::complete;
    }
    if (!set_run_value(command)) return AutostartOn::failed;
    // A task left from a copy that was protected then would still start this path with
    // the highest rights.
    if (admin && !protected_file) win::delete_logon_task(kTaskName);
    return admin && !protected_file ? AutostartOn::without_admin_rights_folder_writable
                                    : AutostartOn::without_admin_rights;
}

bool disable_autostart() {
    const auto task = win::delete_logon_task(kTaskName);
    delete_run_value();
    // Done when neither is left, whatever each removal answered.
    return (task != win::TaskRemoval::failed || !win::logon_task_exists(kTaskName)) &&
           !run_value_exists();
}

bool autostart_enabled() {
    return win::logon_task_exists(kTaskName) || run_value_exists();
}

std::optional<std::string> installer_uninstaller(const std::string& program) {
    const std::filesystem::path exe = std::filesystem::path(win::widen(program));
    const auto uninstaller = exe.parent_path() / L"uninstall.exe";
    std::error_code ec;
    if (!exe.has_parent_path() || !std::filesystem::is_regular_file(uninstaller, ec))
        return std::nullopt;
    return win::narrow(uninstaller.wstring());
}

void kill_process(std::uint32_t pid) {
    if (pid == 0 || pid == current_pid()) return;
    win::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        win::report_last_error("OpenProcess");
        return;
    }
    if (!TerminateProcess(process.get(), 1)) win::report_last_error("TerminateProcess");
    WaitForSingleObject(process.get(), 5000);
}

// Windows won't delete a running program's file. A detached cmd from System32 waits about
// two seconds (three pings a second apart, ping by its full path too), by when this
// process has ended, and deletes it. The path reaches cmd only through a variable of its
// environment: cmd expands a %NAME% once and never what the expansion holds, so a folder
// named "%TEMP%" or "R&D" stays the literal path. /D skips any AutoRun command, /V:OFF
// leaves "!" alone, /S takes the line between the outer quotes exactly as written.
bool remove_program_file(const std::string& program) {
    const std::string cmd = win::system_tool(L"cmd.exe");
    const std::string ping = win::system_tool(L"PING.EXE");
    if (cmd.empty() || ping.empty()) return false;
    if (!SetEnvironmentVariableW(L"KELVORA_PROGRAM_FILE", win::widen(program).c_str())) {
        win::report_last_error("SetEnvironmentVariableW");
        return false;
    }
    std::wstring line = L"cmd.exe /D /V:OFF /S /C \"\"" + win::widen(ping) +
                        L"\" 127.0.0.1 -n 3 >nul & del /f /q \"%KELVORA_PROGRAM_FILE%\"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const std::wstring application = win::widen(cmd);
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        win::report_last_error("CreateProcessW");
        return false;
    }
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    return true;
}

} // namespace kelvora::platform
