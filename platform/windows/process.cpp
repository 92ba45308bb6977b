#include "platform/process.hpp"

#include <windows.h>

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <filesystem>
#include <optional>

#include "platform/browser_rights.hpp"
#include "platform/report.hpp"
#include "platform/windows/command_line.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/security.hpp"
#include "platform/windows/system_folder.hpp"
#include "platform/windows/token.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

using win::narrow;
using win::UniqueHandle;
using win::widen;

std::uint32_t current_pid() {
    return GetCurrentProcessId();
}

std::string executable_path() {
    // The path may be longer than MAX_PATH; a result that fills the buffer was cut.
    std::wstring buf(MAX_PATH, L'\0');
    for (int tries = 0; tries < 6; ++tries) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            win::report_last_error("GetModuleFileNameW");
            return {};
        }
        if (n < buf.size()) return narrow(std::wstring_view(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
    return {};
}

bool is_admin() {
    return IsUserAnAdmin() != FALSE;
}

void declare_dpi_awareness() {
    // Looked up at run time: Windows 10 before 1703, and Wine, don't have it, and a static
    // import would keep the program from starting there at all.
    using SetContext = BOOL(WINAPI*)(HANDLE);
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return;
    const auto set = reinterpret_cast<SetContext>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2.
    if (set) set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));
}

std::optional<std::string> env(const char* name) {
    const std::wstring wname = widen(name);
    std::wstring buf(256, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n =
            GetEnvironmentVariableW(wname.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        // Too small: n is the size needed, terminator included.
        if (n >= buf.size()) {
            buf.resize(n);
            continue;
        }
        return narrow(std::wstring_view(buf.data(), n));
    }
    return std::nullopt;
}

std::optional<std::string> user_data_home() {
    return std::nullopt;
}

bool wait_for_process_exit(std::uint32_t pid, int timeout_ms) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return false;
    WaitForSingleObject(process.get(), timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms));
    return true;
}

Elevation relaunch_elevated(const std::string& exe, const std::string& parameters) {
    const auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(
        nullptr, L"runas", widen(exe).c_str(), widen(parameters).c_str(), nullptr, SW_SHOWNORMAL));
    if (r > 32) return Elevation::started;
    win::report_failure("ShellExecuteW runas", static_cast<unsigned long>(r));
    return Elevation::declined;
}

void exit_process(int code) {
    ExitProcess(static_cast<UINT>(code));
}

bool shell_open(const std::string& target) {
    const auto r = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", widen(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (r > 32) return true;
    win::report_failure("ShellExecuteW open", static_cast<unsigned long>(r));
    return false;
}

namespace {

class WinChild : public ChildProcess {
public:
    WinChild(UniqueHandle process, UniqueHandle job, DWORD pid)
        : process_(std::move(process)), job_(std::move(job)), pid_(pid) {}
    bool running() override { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    std::uint32_t pid() const override { return pid_; }
    // The job holds every process the child started, even those whose parent has gone
    // (Chromium's launcher hands its work on); the child itself goes by its handle in any
    // case, which also covers a job the system would not give us.
    void end_tree() override {
        if (job_) TerminateJobObject(job_.get(), 1);
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
    }

private:
    UniqueHandle process_;
    UniqueHandle job_;
    DWORD pid_;
};

struct AttributeList {
    std::vector<unsigned char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    ~AttributeList() {
        if (list) DeleteProcThreadAttributeList(list);
    }
};

// Starts the child without a console window. With std_out, the child writes its output
// and errors there, and that handle is the only one it inherits: several API calls may
// start children at once, and a child that inherited another one's pipe end by accident
// would keep that pipe open, and its reader waiting, for as long as it lives.
bool same_name(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Our environment with the extra variables set, as CreateProcessW takes it: "NAME=value"
// strings, each ended by a zero, and one more zero at the end.
std::wstring environment_block(const Environment& extra) {
    std::vector<std::wstring> entries;
    if (wchar_t* all = GetEnvironmentStringsW()) {
        for (const wchar_t* p = all; *p; p += wcslen(p) + 1) {
            const std::wstring_view entry(p);
            // Entries such as "=C:=C:\" begin with '='; the name ends at the next one.
            const auto eq = entry.find(L'=', 1);
            const auto name = entry.substr(0, eq);
            bool replaced = false;
            for (const auto& [n, v] : extra)
                replaced = replaced || same_name(name, widen(n));
            if (!replaced) entries.emplace_back(entry);
        }
        FreeEnvironmentStringsW(all);
    }
    for (const auto& [n, v] : extra)
        entries.push_back(widen(n) + L"=" + widen(v));
    std::wstring block;
    for (const auto& e : entries) {
        block += e;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// Only a full path is started, and it is handed over as the application name: a bare name
// would be looked for in our own folder and the current directory before System32, and a
// file planted there would run with our rights.
bool is_full_path(const std::wstring& path) {
    return path.size() > 2 && ((path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
                               path.starts_with(L"\\\\"));
}

// The longest command line CreateProcessWithTokenW takes.
constexpr std::size_t kMaxTokenCommandLine = 1024;

// With user_token the child runs as that token says, through the Secondary Logon service,
// with our environment (not the one of the account's profile) and no handles inherited.
UniqueHandle create_process(const std::string& program, const std::vector<std::string>& args,
                            HANDLE std_out, const Environment& extra_env, HANDLE job, DWORD* pid,
                            DWORD* error, HANDLE user_token = nullptr) {
    const std::wstring application = widen(program);
    if (!is_full_path(application)) {
        *error = ERROR_BAD_PATHNAME;
        win::report_failure("CreateProcessW (ruta no completa)", *error);
        return nullptr;
    }
    std::vector<std::wstring> wargs;
    for (const auto& a : args)
        wargs.push_back(widen(a));
    std::wstring line = win::command_line(widen(program), wargs);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si.StartupInfo;
    DWORD flags = CREATE_NO_WINDOW;
    AttributeList attrs;
    if (std_out) {
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdOutput = std_out;
        si.StartupInfo.hStdError = std_out;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attrs.storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrs.storage.data());
        if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            attrs.list = list;
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &std_out,
                                          sizeof std_out, nullptr, nullptr)) {
                si.StartupInfo.cb = sizeof si;
                si.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            }
        }
    }
    std::wstring env;
    if (!extra_env.empty() || user_token) {
        env = environment_block(extra_env);
        flags |= CREATE_UNICODE_ENVIRONMENT;
    }
    // Held until it is in the job, so nothing it starts can escape the job.
    if (job) flags |= CREATE_SUSPENDED;
    PROCESS_INFORMATION pi{};
    if (user_token) {
        if (line.size() >= kMaxTokenCommandLine) {
            *error = ERROR_FILENAME_EXCED_RANGE;
            win::report_failure("CreateProcessWithTokenW (línea de órdenes larga)", *error);
            return nullptr;
        }
        // It takes no CREATE_NO_WINDOW, and a browser has no console to hide anyway.
        if (!CreateProcessWithTokenW(user_token, 0, application.c_str(), line.data(),
                                     flags & ~static_cast<DWORD>(CREATE_NO_WINDOW), env.data(),
                                     nullptr, &si.StartupInfo, &pi)) {
            *error = GetLastError();
            win::report_failure("CreateProcessWithTokenW", *error);
            return nullptr;
        }
    } else if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr,
                               std_out ? TRUE : FALSE, flags, env.empty() ? nullptr : env.data(),
                               nullptr, &si.StartupInfo, &pi)) {
        *error = GetLastError();
        win::report_failure("CreateProcessW", *error);
        return nullptr;
    }
    UniqueHandle thread(pi.hThread);
    UniqueHandle process(pi.hProcess);
    if (job) {
        if (!AssignProcessToJobObject(job, process.get()))
            win::report_last_error("AssignProcessToJobObject");
        ResumeThread(thread.get());
    }
    *pid = pi.dwProcessId;
    return process;
}

std::string system_message(const char* call, DWORD code) {
    const std::string msg = win::system_text(code);
    return std::string(call) + ": error " + std::to_string(code) +
           (msg.empty() ? "" : " (" + msg + ")");
}

// Output past this is read and dropped, so a chatty tool can't fill our memory.
constexpr std::size_t kMaxOutput = 16 * 1024 * 1024;

std::unique_ptr<ChildProcess> start_child(const std::string& program,
                                          const std::vector<std::string>& args,
                                          const Environment& extra_env, HANDLE user_token,
                                          std::string* error) {
    DWORD pid = 0, code = 0;
    // A job that ends nothing when closed: a child such as the updated program outlives us.
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) win::report_last_error("CreateJobObjectW");
    // A child of the child that asks to leave the job may: the browser decides that.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof limits))
        win::report_last_error("SetInformationJobObject");
    auto process =
        create_process(program, args, nullptr, extra_env, job.get(), &pid, &code, user_token);
    if (!process) {
        if (error)
            *error =
                system_message(user_token ? "CreateProcessWithTokenW" : "CreateProcessW", code);
        return nullptr;
    }
    return std::make_unique<WinChild>(std::move(process), std::move(job), pid);
}

// %ProgramData%\Kelvora\<our SID>, where the profiles of admin_profile_args go.
std::optional<std::filesystem::path> admin_profiles_root() {
    const auto sid = win::current_user_sid();
    const auto base = win::known_folder(FOLDERID_ProgramData, "SHGetKnownFolderPath(ProgramData)");
    if (!sid || !base) return std::nullopt;
    return *base / L"Kelvora" / widen(*sid);
}

// The browser's profile moved to %ProgramData%\Kelvora\<our SID>\<its own folder's name>,
// a folder only the administrators can write; nothing, with the reason, when that can't be.
std::optional<std::vector<std::string>> admin_profile_args(const std::vector<std::string>& args,
                                                           std::string* problem) {
    const auto own = profile_folder(args);
    const std::filesystem::path name =
        own ? std::filesystem::path(widen(*own)).filename() : std::filesystem::path();
    if (name.empty() || name == L"." || name == L"..") {
        *problem = "el navegador no tiene carpeta de perfil";
        return std::nullopt;
    }
    const auto root = admin_profiles_root();
    if (!root) {
        *problem = "Windows no dice dónde guardar el perfil";
        return std::nullopt;
    }
    const auto folder = win::admin_only_folder(root->parent_path().parent_path(),
                                               {L"Kelvora", root->filename().native(), name},
                                               problem);
    if (!folder) return std::nullopt;
    return with_profile_folder(args, narrow(folder->native()));
}

// Deletes path and what it holds, depth first. A link or junction is deleted as itself:
// following one would let whoever made it choose what an elevated uninstall deletes.
bool remove_tree_here(const std::filesystem::path& path) {
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND ||
                                                 GetLastError() == ERROR_PATH_NOT_FOUND;
    if (attrs & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str()) != 0;
    bool all = true;
    if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found{};
        HANDLE h = FindFirstFileW((path / L"*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") all = remove_tree_here(path / name) && all;
            } while (FindNextFileW(h, &found));
            FindClose(h);
        }
    }
    return RemoveDirectoryW(path.c_str()) != 0 && all;
}

std::unique_ptr<ChildProcess> start_browser(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const Environment& extra_env, std::string* error) {
    BrowserFacts facts;
    facts.elevated = win::running_elevated();
    if (!facts.elevated) return start_child(program, args, extra_env, nullptr, error);
    const auto shell = win::shell_token();
    facts.shell_found = shell.found;
    facts.same_user = shell.same_user;
    auto choice = choose_browser_way(facts);
    if (choice.way == BrowserWay::user_token) {
        if (shell.primary) {
            std::string failure;
            if (auto child = start_child(program, args, extra_env, shell.primary.get(), &failure)) {
                report("[NAVEGADOR] abierto con los permisos normales del usuario, sin los de "
                       "administrador");
                return child;
            }
        }
        facts.user_start_failed = true;
        choice = choose_browser_way(facts);
    }
    std::string problem;
    const auto moved = admin_profile_args(args, &problem);
    if (!moved) {
        report("[NAVEGADOR] no se abre con permisos de administrador (" + choice.why +
               "): " + problem);
        if (error) *error = "no se abre con permisos de administrador: " + problem;
        return nullptr;
    }
    auto child = start_child(program, *moved, extra_env, nullptr, error);
    if (child)
        report("[NAVEGADOR] abierto con permisos de administrador (" + choice.why +
               "), con el perfil en " + *profile_folder(*moved) +
               ", que solo pueden cambiar los administradores");
    return child;
}

} // namespace

bool remove_admin_profiles(std::string* problem) {
    const auto root = admin_profiles_root();
    if (!root) {
        *problem = "Windows no dice dónde están los perfiles";
        return false;
    }
    if (!remove_tree_here(*root)) {
        *problem = "no se pudo quitar " + narrow(root->native()) + " (error " +
                   std::to_string(GetLastError()) + ")";
        return false;
    }
    // The Kelvora folder itself goes when no other account's profiles are left in it.
    RemoveDirectoryW(root->parent_path().c_str());
    return true;
}

std::unique_ptr<ChildProcess> start_process(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const Environment& extra_env, std::string* error,
                                            ChildKind kind) {
    if (kind == ChildKind::browser) return start_browser(program, args, extra_env, error);
    return start_child(program, args, extra_env, nullptr, error);
}

RunResult run_hidden(const std::string& program, const std::vector<std::string>& args) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_raw = nullptr, write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inheritable, 0)) {
        win::report_last_error("CreatePipe");
        return result;
    }
    UniqueHandle read_end(read_raw), write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    DWORD pid = 0, code = 0;
    auto process = create_process(program, args, write_end.get(), {}, nullptr, &pid, &code);
    // Our copy of the write end goes now, so the read below ends when the child's does.
    write_end.reset();
    if (!process) return result;
    result.started = true;

    char buf[4096];
    DWORD n = 0;
    while (ReadFile(read_end.get(), buf, sizeof buf, &n, nullptr) && n > 0)
        if (result.output.size() < kMaxOutput) result.output.append(buf, n);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process.get(), &exit_code))
        result.exit_code = static_cast<int>(exit_code);
    return result;
}

} // namespace kelvora::platform
