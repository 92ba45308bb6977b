#include "platform/program_file.hpp"

#include <windows.h>

#include <memory>
#include <thread>

#include "platform/windows/command_line.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

using win::UniqueHandle;
using win::widen;

namespace {

// The system's words without the closing full stop: they go inside a sentence of ours.
std::string error_text(DWORD code) {
    std::string msg = win::system_text(code);
    if (!msg.empty() && msg.back() == '.') msg.pop_back();
    return msg.empty() ? "error " + std::to_string(code) : msg;
}

} // namespace

std::optional<std::string> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to) {
    if (!MoveFileW(from.wstring().c_str(), to.wstring().c_str())) return error_text(GetLastError());
    return std::nullopt;
}

std::optional<std::string> copy_program_file(const std::filesystem::path& from,
                                             const std::filesystem::path& to,
                                             const std::filesystem::path&) {
    if (!CopyFileExW(from.wstring().c_str(), to.wstring().c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS))
        return error_text(GetLastError());
    return std::nullopt;
}

BoundedRun run_bounded(const std::string& program, const std::vector<std::string>& args, int tries,
                       int interval_ms, std::size_t max_output) {
    BoundedRun result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_raw = nullptr, write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inheritable, 0)) {
        result.error = error_text(GetLastError());
        return result;
    }
    UniqueHandle read_end(read_raw), write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    std::vector<std::wstring> wargs;
    for (const auto& a : args)
        wargs.push_back(widen(a));
    std::wstring line = win::command_line(widen(program), wargs);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end.get();
    si.hStdError = nullptr;
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        result.error = error_text(GetLastError());
        return result;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    write_end.reset();
    result.started = true;

    // The pipe is read on its own thread, so a child that writes more than the pipe holds
    // isn't stuck; what it read is taken once the child ended or was ended.
    struct Shared {
        std::string output;
        HANDLE pipe;
        std::size_t max;
    };
    auto shared = std::make_shared<Shared>(Shared{{}, read_end.release(), max_output});
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread reader([shared, done] {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(shared->pipe, buf, sizeof buf, &n, nullptr) && n > 0)
            if (shared->output.size() < shared->max)
                shared->output.append(
                    buf, std::min<std::size_t>(n, shared->max - shared->output.size()));
        SetEvent(done);
    });
    for (int i = 0;; ++i) {
        if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            result.ended = true;
            break;
        }
        if (i == tries) break;
        Sleep(static_cast<DWORD>(interval_ms));
    }
    if (!result.ended) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    // A grandchild holding the pipe open gets a short wait only; the reader then stays
    // blocked on its own until that pipe closes, owning everything it touches.
    if (done && WaitForSingleObject(done, 2000) == WAIT_OBJECT_0) {
        reader.join();
        result.output = shared->output;
        CloseHandle(shared->pipe);
        CloseHandle(done);
    } else {
        reader.detach();
    }
    return result;
}

void record_installed_version(const std::string& version) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvora", 0,
                      KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    const std::wstring value = widen(version);
    RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

} // namespace kelvora::platform
