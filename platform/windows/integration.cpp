#include "platform/integration.hpp"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <memory>

#include "platform/powershell.hpp"
#include "platform/process.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

constexpr const char* kRunKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// A system tool without a console window, its output discarded; true when it exits with 0.
bool run_tool(const std::string& program, const std::vector<std::string>& args) {
    const RunResult r = run_hidden(program, args);
    return r.started && r.exit_code == 0;
}

bool run_powershell(const std::string& script) {
    return run_tool("powershell", {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", script});
}

std::string autostart_command(const std::string& program) {
    return "\"" + program + "\" --startup";
}

// The query also has to name the task: Wine's schtasks answers every query with 0 and
// says nothing, and would report a task that doesn't exist.
bool task_exists() {
    const RunResult r = run_hidden("schtasks", {"/Query", "/TN", "Kelvora"});
    return r.started && r.exit_code == 0 && r.output.find("Kelvora") != std::string::npos;
}

bool run_value_exists() {
    return run_tool("reg", {"query", kRunKey, "/v", "Kelvora"});
}

bool delete_run_value() {
    return run_tool("reg", {"delete", kRunKey, "/v", "Kelvora", "/f"});
}

std::optional<std::filesystem::path> known_folder(REFKNOWNFOLDERID id, const char* name) {
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(raw, &CoTaskMemFree);
    if (FAILED(hr)) {
        win::report_failure(name, static_cast<unsigned long>(hr));
        return std::nullopt;
    }
    return std::filesystem::path(raw);
}

} // namespace

// PowerShell's exit code alone is not trusted: a stand-in that does nothing (Wine's) exits
// with 0 too, so both files must be there afterwards.
bool create_shortcuts(const ShortcutTarget& t) {
    if (!run_powershell(shortcut_script(t.program, t.folder, t.description))) return false;
    std::error_code ec;
    for (const auto& [id, name] :
         {std::pair{&FOLDERID_Desktop, "SHGetKnownFolderPath(Desktop)"},
          std::pair{&FOLDERID_Programs, "SHGetKnownFolderPath(Programs)"}}) {
        const auto folder = known_folder(*id, name);
        if (!folder || !std::filesystem::is_regular_file(*folder / L"Kelvora.lnk", ec))
            return false;
    }
    return true;
}

void remove_shortcuts() {
    run_powershell(remove_shortcuts_script());
}

AutostartOn enable_autostart(const std::string& program) {
    const std::string command = autostart_command(program);
    // The logon task starts the program with the highest rights the user has; only an
    // administrator may create it. The Run value starts it with standard rights.
    if (is_admin() && run_tool("schtasks", {"/Create", "/TN", "Kelvora", "/TR", command, "/SC",
                                            "ONLOGON", "/RL", "HIGHEST", "/F"})) {
        delete_run_value();
        return AutostartOn::complete;
    }
    if (run_tool("reg", {"add", kRunKey, "/v", "Kelvora", "/t", "REG_SZ", "/d", command, "/f"}))
        return AutostartOn::without_admin_rights;
    return AutostartOn::failed;
}

bool disable_autostart() {
    const bool task_gone = run_tool("schtasks", {"/Delete", "/TN", "Kelvora", "/F"});
    const bool value_gone = delete_run_value();
    if (task_gone || value_gone) return true;
    // Both failed: fine when there was nothing to delete.
    return !task_exists() && !run_value_exists();
}

bool autostart_enabled() {
    return task_exists() || run_value_exists();
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
    run_tool("taskkill", {"/PID", std::to_string(pid), "/F"});
}

// Windows won't delete a running program's file. A detached cmd waits about two seconds
// (three pings a second apart), by when this process has ended, and deletes it. cmd reads
// its own command line, not the C runtime's quoting, so the line is written as cmd wants
// it: the path always between double quotes (a Windows path can't hold one), so that a
// folder such as "R&D" stays one path.
bool remove_program_file(const std::string& program) {
    std::wstring line =
        L"cmd.exe /C ping 127.0.0.1 -n 3 >nul & del /f /q \"" + win::widen(program) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi)) {
        win::report_last_error("CreateProcessW");
        return false;
    }
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    return true;
}

} // namespace kelvora::platform
