// Drives the Windows backend of the platform layer from inside Wine and prints what it
// saw as one JSON object, for tests/win/platform.test.mjs to judge.
//   platform_probe.exe              runs every check
//   platform_probe.exe echo ARGS    prints its own arguments as a JSON array (UTF-8)
//   platform_probe.exe exit N       ends with exit code N
//   platform_probe.exe sleep MS ... sleeps, then ends
//   platform_probe.exe downloads    the downloads folder and a received file's life there
//   platform_probe.exe ending       ends a child with its own child, and a process by its id
//   platform_probe.exe spawn FILE   starts a sleeping child, writes its id to FILE, sleeps
//   platform_probe.exe shell DIR    a shortcut written into DIR and read back; a logon task
//                                   registered, looked up and deleted (twice)
//   platform_probe.exe rights DIR   what our token says, and folders only administrators may
//                                   change made under DIR, twice, and over DIR\taken
//                                   (made beforehand by the test); a browser started
#include <nlohmann/json.hpp>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/downloads.hpp"
#include "platform/integration.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"
#include "platform/windows/logon_task.hpp"
#include "platform/windows/security.hpp"
#include "platform/windows/shell_link.hpp"
#include "platform/windows/token.hpp"
#include "platform/windows/wide.hpp"

namespace p = kelvora::platform;

namespace {

std::string json_string(const std::string& s) {
    return nlohmann::json(s).dump();
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + json_string(items[i]);
    return out + "]";
}

std::string run_json(const p::RunResult& r) {
    return "{\"started\":" + std::string(r.started ? "true" : "false") +
           ",\"exit_code\":" + std::to_string(r.exit_code) +
           ",\"output\":" + json_string(r.output) + "}";
}

// The arguments nobody quotes by accident: spaces, quotes, backslash runs before quotes
// and at the end, an empty one, and text outside ASCII.
const std::vector<std::string> kTricky = {
    "plain",        "",         "two words",         "quote\"inside", "trailing\\",
    "sp ace end\\", "a\\\\\"b", "\\\\server\\share", "ñandú 😀",       "tab\there",
};

std::string checks() {
    const std::string self = p::executable_path();
    std::string out = "{";
    out += "\"exe\":" + json_string(self);

    std::vector<std::string> echo = {"echo"};
    echo.insert(echo.end(), kTricky.begin(), kTricky.end());
    out += ",\"tricky\":" + json_array(kTricky);
    out += ",\"echo\":" + run_json(p::run_hidden(self, echo));
    out += ",\"exit7\":" + run_json(p::run_hidden(self, {"exit", "7"}));
    out += ",\"missing\":" + run_json(p::run_hidden("Z:\\no\\such\\program.exe", {}));

    std::string error;
    auto child = p::start_process(self, {"sleep", "1500"}, {}, &error);
    out += ",\"child_started\":" + std::string(child ? "true" : "false");
    if (child) {
        const bool running_at_first = child->running();
        const bool waited = p::wait_for_process_exit(child->pid(), 10000);
        out += ",\"child_running_at_first\":" + std::string(running_at_first ? "true" : "false");
        out += ",\"child_waited\":" + std::string(waited ? "true" : "false");
        out += ",\"child_running_after\":" + std::string(child->running() ? "true" : "false");
    }
    std::string missing_error;
    auto none = p::start_process("Z:\\no\\such\\program.exe", {}, {}, &missing_error);
    out += ",\"start_missing\":" + std::string(none ? "true" : "false");
    out += ",\"start_missing_error\":" + json_string(missing_error);

    unsigned char a[64] = {}, b[64] = {};
    const bool r1 = p::random_bytes(a, sizeof a), r2 = p::random_bytes(b, sizeof b);
    out += ",\"random_ok\":" + std::string(r1 && r2 ? "true" : "false");
    out += ",\"random_differs\":" + std::string(std::memcmp(a, b, sizeof a) ? "true" : "false");

    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("probe-" + std::to_string(p::current_pid()));
    fs::create_directories(dir);
    std::ofstream(dir / "new.txt") << "nuevo";
    std::ofstream(dir / "old.txt") << "viejo";
    const bool replaced = p::replace_file(dir / "new.txt", dir / "old.txt");
    std::string content;
    std::getline(std::ifstream(dir / "old.txt"), content);
    out += ",\"replaced\":" + std::string(replaced ? "true" : "false");
    out += ",\"replaced_content\":" + json_string(content);
    out += ",\"source_left\":" + std::string(fs::exists(dir / "new.txt") ? "true" : "false");
    std::error_code ec;
    fs::remove_all(dir, ec);

    SetEnvironmentVariableW(L"KELVORA_PROBE_EMPTY", L"");
    SetEnvironmentVariableW(L"KELVORA_PROBE_TEXT", L"ñandú 😀");
    auto unset = p::env("KELVORA_PROBE_UNSET");
    auto empty = p::env("KELVORA_PROBE_EMPTY");
    auto text = p::env("KELVORA_PROBE_TEXT");
    out += ",\"env_unset\":" + std::string(unset ? json_string(*unset) : "null");
    out += ",\"env_empty\":" + std::string(empty ? json_string(*empty) : "null");
    out += ",\"env_text\":" + std::string(text ? json_string(*text) : "null");

    auto t = p::local_time();
    out += ",\"year\":" + std::to_string(t ? t->year : 0);
    out += ",\"pid\":" + std::to_string(p::current_pid());
    return out + "}";
}

// A file received into a fresh folder inside the downloads folder: created only when
// free, written, renamed only onto a free name.
std::string downloads() {
    namespace fs = std::filesystem;
    const auto folder = p::downloads_folder();
    std::string out = "{\"folder\":" + std::string(folder ? json_string(folder->string()) : "null");
    if (!folder) return out + "}";
    const fs::path dir = *folder / ("probe-" + std::to_string(p::current_pid()));
    fs::create_directories(dir);
    auto made = p::create_new_file(dir / "a.txt.part");
    auto again = p::create_new_file(dir / "a.txt.part");
    out += ",\"created\":" + std::string(made.file ? "true" : "false");
    out += ",\"second_is_exists\":" +
           std::string(again.fault == p::FileFault::exists ? "true" : "false");
    const bool wrote = made.file && made.file->append("hola ") == p::FileFault::none &&
                       made.file->append("mundo") == p::FileFault::none &&
                       made.file->close() == p::FileFault::none;
    out += ",\"wrote\":" + std::string(wrote ? "true" : "false");
    std::ofstream(dir / "a.txt") << "otro";
    out += ",\"onto_taken_is_exists\":" +
           std::string(p::rename_if_free(dir / "a.txt.part", dir / "a.txt") == p::FileFault::exists
                           ? "true"
                           : "false");
    out +=
        ",\"onto_free\":" +
        std::string(p::rename_if_free(dir / "a.txt.part", dir / "a (1).txt") == p::FileFault::none
                        ? "true"
                        : "false");
    std::string content, taken;
    std::getline(std::ifstream(dir / "a (1).txt"), content);
    std::getline(std::ifstream(dir / "a.txt"), taken);
    out += ",\"content\":" + json_string(content) + ",\"taken_kept\":" + json_string(taken);
    out += ",\"part_left\":" + std::string(fs::exists(dir / "a.txt.part") ? "true" : "false");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return out + "}";
}

bool gone(std::uint32_t pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return true;
    const bool ended = WaitForSingleObject(h, 5000) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

// A child that started a child of its own, ended by end_tree; another child ended by
// kill_process. Neither may need a tool found by name.
std::string ending() {
    namespace fs = std::filesystem;
    const std::string self = p::executable_path();
    const fs::path pid_file =
        fs::temp_directory_path() / ("probe-tree-" + std::to_string(p::current_pid()));
    std::string error;
    auto child = p::start_process(self, {"spawn", pid_file.string()}, {}, &error);
    std::uint32_t grandchild = 0;
    for (int i = 0; i < 100 && child && !grandchild; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream(pid_file) >> grandchild;
    }
    std::string out = "{\"grandchild_started\":" + std::string(grandchild ? "true" : "false");
    if (child) child->end_tree();
    out += ",\"child_gone\":" + std::string(child && !child->running() ? "true" : "false");
    out += ",\"grandchild_gone\":" + std::string(grandchild && gone(grandchild) ? "true" : "false");
    std::error_code ec;
    fs::remove(pid_file, ec);
    auto victim = p::start_process(self, {"sleep", "30000"}, {}, &error);
    if (victim) p::kill_process(victim->pid());
    out += ",\"killed_gone\":" + std::string(victim && gone(victim->pid()) ? "true" : "false");
    return out + "}";
}

} // namespace

// The shell's shortcut and the Task Scheduler, through their COM interfaces, with names
// and paths that need escaping in XML and quoting on a command line.
std::string shell(const std::string& dir) {
    namespace w = kelvora::platform::win;
    const std::filesystem::path folder(w::widen(dir));
    const w::ShellLink link{(folder / L"R&D <ñandú>" / L"Kelvora.exe").wstring(),
                            (folder / L"R&D <ñandú>").wstring(), L"Kelvora · soporte remoto",
                            (folder / L"R&D <ñandú>" / L"Kelvora.exe").wstring()};
    const bool written = w::write_shell_link(folder / L"Kelvora.lnk", link);
    const auto back = w::read_shell_link(folder / L"Kelvora.lnk");
    const auto missing = w::read_shell_link(folder / L"no-hay.lnk");
    auto text = [](const std::wstring& s) { return json_string(w::narrow(s)); };
    std::string out = "{\"link_written\":" + std::string(written ? "true" : "false");
    if (back)
        out += ",\"link\":{\"target\":" + text(back->target) + ",\"folder\":" + text(back->folder) +
               ",\"description\":" + text(back->description) + ",\"icon\":" + text(back->icon) +
               "}";
    out += ",\"missing_read\":" + std::string(missing ? "true" : "false");

    const wchar_t* name = L"Kelvora prueba";
    const bool registered =
        w::register_logon_task(name, {w::narrow(link.target), "--startup", w::narrow(link.folder),
                                      "Kelvora & prueba", ""});
    const bool exists = w::logon_task_exists(name);
    auto removal = [](w::TaskRemoval r) {
        return json_string(r == w::TaskRemoval::removed  ? "removed"
                           : r == w::TaskRemoval::absent ? "absent"
                                                         : "failed");
    };
    // Wine keeps the definition as a file; the test reads it before it goes.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::string xml;
    {
        std::ifstream f(std::filesystem::path(system) / L"Tasks" / name, std::ios::binary);
        xml.assign(std::istreambuf_iterator<char>(f), {});
    }
    const auto first = w::delete_logon_task(name);
    const bool exists_after = w::logon_task_exists(name);
    const auto second = w::delete_logon_task(name);
    out += ",\"task_registered\":" + std::string(registered ? "true" : "false") +
           ",\"task_exists\":" + std::string(exists ? "true" : "false") +
           ",\"task_deleted\":" + removal(first) +
           ",\"task_exists_after\":" + std::string(exists_after ? "true" : "false") +
           ",\"task_deleted_again\":" + removal(second);
    // The file may be UTF-16: its bytes go out as hex, for the test to decode.
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : xml) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    out += ",\"task_file\":" + json_string(hex);
    return out + "}";
}

std::string flag(bool b) {
    return b ? "true" : "false";
}

// The folders a browser's profile moves to when it can't run with the user's own rights,
// and the way a browser start takes here (its log line goes to stderr).
std::string rights(const std::string& dir) {
    namespace w = kelvora::platform::win;
    const std::filesystem::path base(w::widen(dir));
    const std::vector<std::wstring> levels = {L"Kelvora", L"S-1-5-21-1-2-3-1001", L"ventana"};
    std::string made_problem, again_problem, taken_problem;
    const auto made = w::admin_only_folder(base, levels, &made_problem);
    const auto again = w::admin_only_folder(base, levels, &again_problem);
    const auto taken = w::admin_only_folder(base, {L"taken", L"ventana"}, &taken_problem);
    const auto access = made ? w::object_access(*made) : std::nullopt;
    const auto shell = w::shell_token();
    std::string out = "{\"elevated\":" + flag(w::running_elevated());
    out += ",\"shell_found\":" + flag(shell.found) +
           ",\"shell_same_user\":" + flag(shell.same_user) +
           ",\"shell_token\":" + flag(shell.primary != nullptr);
    out +=
        ",\"made\":" + (made ? json_string(w::narrow(made->native())) : json_string(made_problem));
    out += ",\"again\":" +
           (again ? json_string(w::narrow(again->native())) : json_string(again_problem));
    out += ",\"taken\":" + (taken ? json_string(w::narrow(taken->native())) : "null");
    out += ",\"taken_problem\":" + json_string(taken_problem);
    out += ",\"made_only_admins\":" + flag(access && p::only_privileged_write(*access));
    std::string error;
    auto browser = p::start_process(
        p::executable_path(),
        {"sleep", "100", "--user-data-dir=" + w::narrow((base / L"perfil").native())}, {}, &error,
        p::ChildKind::browser);
    out += ",\"browser_started\":" + flag(browser != nullptr);
    out += ",\"browser_error\":" + json_string(error);
    return out + "}";
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(kelvora::platform::win::narrow(argv[i]));
    std::string out;
    if (!args.empty() && args[0] == "echo") {
        out = json_array(std::vector<std::string>(args.begin() + 1, args.end()));
    } else if (args.size() == 2 && args[0] == "exit") {
        return std::stoi(args[1]);
    } else if (args.size() >= 2 && args[0] == "sleep") { // more: a browser's switches
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args[1])));
        return 0;
    } else if (args.size() == 2 && args[0] == "spawn") {
        std::string error;
        auto child = p::start_process(p::executable_path(), {"sleep", "30000"}, {}, &error);
        if (child)
            std::ofstream(std::filesystem::path(kelvora::platform::win::widen(args[1])))
                << child->pid();
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return 0;
    } else if (args.size() == 1 && args[0] == "ending") {
        out = ending();
    } else if (args.size() == 2 && args[0] == "shell") {
        out = shell(args[1]);
    } else if (args.size() == 2 && args[0] == "rights") {
        out = rights(args[1]);
    } else if (args.size() == 1 && args[0] == "downloads") {
        out = downloads();
    } else {
        out = checks();
    }
    // Raw bytes: the C runtime's text mode would add carriage returns.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
              nullptr);
    return 0;
}
