#include "platform/downloads.hpp"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

FileFault fault_of(DWORD code) {
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return FileFault::exists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return FileFault::no_space;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION: return FileFault::denied;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND: return FileFault::missing;
    default: return FileFault::other;
    }
}

class WinFile : public OutputFile {
public:
    explicit WinFile(win::UniqueHandle h) : handle_(std::move(h)) {}
    FileFault append(std::string_view data) override {
        if (!handle_) return FileFault::other;
        while (!data.empty()) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
            DWORD written = 0;
            if (!WriteFile(handle_.get(), data.data(), piece, &written, nullptr)) {
                const DWORD code = GetLastError();
                win::report_failure("WriteFile", code);
                return fault_of(code);
            }
            data.remove_prefix(written);
        }
        return FileFault::none;
    }
    FileFault close() override {
        if (!handle_) return FileFault::none;
        const HANDLE h = handle_.release();
        if (!CloseHandle(h)) {
            const DWORD code = GetLastError();
            win::report_failure("CloseHandle", code);
            return fault_of(code);
        }
        return FileFault::none;
    }

private:
    win::UniqueHandle handle_;
};

} // namespace

std::optional<std::filesystem::path> downloads_folder() {
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, &raw);
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(raw, &CoTaskMemFree);
    if (FAILED(hr)) {
        win::report_failure("SHGetKnownFolderPath(Downloads)", static_cast<unsigned long>(hr));
        return std::nullopt;
    }
    return std::filesystem::path(raw);
}

CreatedFile create_new_file(const std::filesystem::path& path) {
    // Others may read while it is written (an antivirus scan), but nobody may change or
    // delete it under us.
    win::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        h.release();
        const DWORD code = GetLastError();
        if (fault_of(code) != FileFault::exists) win::report_failure("CreateFileW", code);
        return {nullptr, fault_of(code)};
    }
    return {std::make_unique<WinFile>(std::move(h)), FileFault::none};
}

FileFault rename_if_free(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails on a taken name.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return FileFault::none;
    const DWORD code = GetLastError();
    if (fault_of(code) != FileFault::exists) win::report_failure("MoveFileExW", code);
    return fault_of(code);
}

} // namespace kelvora::platform
