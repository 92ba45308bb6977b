#include "platform/program_file.hpp"

#include <windows.h>

#include <algorithm>
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

std::optional<std::string> keep_previous(const std::filesystem::path& exe,
                                         const std::filesystem::path& old) {
    if (!MoveFileExW(exe.wstring().c_str(), old.wstring().c_str(), MOVEFILE_WRITE_THROUGH))
        return error_text(GetLastError());
    return std::nullopt;
}

namespace {

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

class WindowsStagedFile final : public StagedFile {
public:
    WindowsStagedFile(std::filesystem::path path, HANDLE h) : path_(std::move(path)), h_(h) {}
    ~WindowsStagedFile() override {
        if (!h_ || placed_) return;
        // Through our own handle: only our file goes, whatever else carries its name.
        FILE_DISPOSITION_INFO gone{TRUE};
        if (!sealed_ || !SetFileInformationByHandle(h_.get(), FileDispositionInfo, &gone,
                                                    sizeof gone)) {
            h_.reset();
            if (!sealed_) DeleteFileW(path_.wstring().c_str());
        }
    }

    std::optional<std::string> write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 24));
            DWORD done = 0;
            if (!WriteFile(h_.get(), bytes.data(), chunk, &done, nullptr) || done == 0)
                return error_text(GetLastError());
            bytes.remove_prefix(done);
        }
        return std::nullopt;
    }

    std::optional<std::string> seal(const std::filesystem::path&) override {
        if (!FlushFileBuffers(h_.get())) return error_text(GetLastError());
        // Read and delete rights only, sharing nothing but reading: the file can be run
        // (running asks for no more), but nobody can write, rename or delete it while we
        // hold it. A file open for writing can't be run, hence the second handle. Whatever
        // happens between the two is caught by the hash taken through the second.
        UniqueHandle writer(h_.release());
        writer.reset();
        HANDLE ro = CreateFileW(path_.wstring().c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (ro == INVALID_HANDLE_VALUE) return error_text(GetLastError());
        h_.reset(ro);
        sealed_ = true;
        return std::nullopt;
    }

    bool read(const std::function<void(std::string_view)>& sink) override {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h_.get(), zero, nullptr, FILE_BEGIN)) return false;
        std::vector<char> buf(1 << 20);
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(h_.get(), buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr))
                return false;
            if (n == 0) return true;
            sink(std::string_view(buf.data(), n));
        }
    }

    bool is_at(const std::filesystem::path& path) override {
        // Attribute rights only: they never meet a sharing refusal.
        UniqueHandle there(CreateFileW(path.wstring().c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
        return there.get() != INVALID_HANDLE_VALUE && same_file(there.get(), h_.get());
    }

    std::optional<std::string> put_at(const std::filesystem::path& to) override {
        // Renamed through the handle we hold: the very file we checked, not whatever now
        // carries its name.
        const std::wstring name = to.wstring();
        std::vector<char> buf(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
        info->ReplaceIfExists = FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
        std::copy(name.begin(), name.end(), info->FileName);
        if (!SetFileInformationByHandle(h_.get(), FileRenameInfo, info,
                                        static_cast<DWORD>(buf.size())))
            return error_text(GetLastError());
        placed_ = true;
        return std::nullopt;
    }

    void release() override {
        placed_ = true;
        h_.reset();
    }

private:
    std::filesystem::path path_;
    UniqueHandle h_;
    bool sealed_ = false;
    bool placed_ = false;
};

} // namespace

std::unique_ptr<StagedFile> create_staged_file(const std::filesystem::path& path,
                                               std::string* error) {
    HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = error_text(GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsStagedFile>(path, h);
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
        WaitForSingleObject(process.get(), static_cast<DWORD>(interval_ms)); // ends as it does
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
