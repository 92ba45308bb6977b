#include "platform/windows/shell_link.hpp"

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

#include "platform/windows/com.hpp"
#include "platform/windows/handle.hpp"

namespace kelvora::platform::win {

namespace {

bool failed(const char* call, HRESULT hr) {
    report_failure(call, static_cast<unsigned long>(hr));
    return false;
}

// What a getter wrote into a buffer of MAX_PATH (the most a shortcut's fields hold).
template <class Get> std::wstring field(Get get) {
    wchar_t buf[MAX_PATH + 1] = {};
    if (FAILED(get(buf, MAX_PATH))) return {};
    buf[MAX_PATH] = L'\0';
    return buf;
}

} // namespace

bool write_shell_link(const std::filesystem::path& file, const ShellLink& link) {
    ComApartment com;
    if (!com.usable()) return failed("CoInitializeEx", com.result());
    ComPtr<IShellLinkW> shell;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(IShellLinkW), shell.put_void());
    if (FAILED(hr)) return failed("CoCreateInstance(ShellLink)", hr);
    if (FAILED(hr = shell->SetPath(link.target.c_str()))) return failed("IShellLinkW::SetPath", hr);
    if (FAILED(hr = shell->SetWorkingDirectory(link.folder.c_str())))
        return failed("IShellLinkW::SetWorkingDirectory", hr);
    if (FAILED(hr = shell->SetDescription(link.description.c_str())))
        return failed("IShellLinkW::SetDescription", hr);
    if (FAILED(hr = shell->SetIconLocation(link.icon.c_str(), 0)))
        return failed("IShellLinkW::SetIconLocation", hr);
    ComPtr<IPersistFile> persist;
    if (FAILED(hr = shell->QueryInterface(__uuidof(IPersistFile), persist.put_void())))
        return failed("QueryInterface(IPersistFile)", hr);
    if (FAILED(hr = persist->Save(file.c_str(), TRUE))) return failed("IPersistFile::Save", hr);
    return true;
}

std::optional<ShellLink> read_shell_link(const std::filesystem::path& file) {
    ComApartment com;
    if (!com.usable()) return std::nullopt;
    ComPtr<IShellLinkW> shell;
    ComPtr<IPersistFile> persist;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IShellLinkW), shell.put_void())) ||
        FAILED(shell->QueryInterface(__uuidof(IPersistFile), persist.put_void())) ||
        FAILED(persist->Load(file.c_str(), STGM_READ)))
        return std::nullopt;
    ShellLink link;
    // SLGP_RAWPATH: the path as stored, not resolved against this machine.
    link.target =
        field([&](wchar_t* b, int n) { return shell->GetPath(b, n, nullptr, SLGP_RAWPATH); });
    link.folder = field([&](wchar_t* b, int n) { return shell->GetWorkingDirectory(b, n); });
    link.description = field([&](wchar_t* b, int n) { return shell->GetDescription(b, n); });
    int index = 0;
    link.icon = field([&](wchar_t* b, int n) { return shell->GetIconLocation(b, n, &index); });
    return link;
}

} // namespace kelvora::platform::win
