#include "platform/windows/security.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

namespace {

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// The administrators, the system and the services (TrustedInstaller among them) may change
// anything on the PC anyway.
Trustee trustee(PSID sid) {
    if (!sid || !IsValidSid(sid)) return Trustee::other;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid))
        return Trustee::privileged;
    if (IsWellKnownSid(sid, WinCreatorOwnerSid)) return Trustee::creator_owner;
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return Trustee::other;
    std::unique_ptr<void, LocalFreer> owned(text);
    return std::wstring_view(text).starts_with(L"S-1-5-80-") ? Trustee::privileged : Trustee::other;
}

std::optional<ObjectAccess> read_access(PSID owner, PACL dacl) {
    ObjectAccess access;
    access.owner = trustee(owner);
    access.has_list = dacl != nullptr;
    if (!dacl) return access;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return std::nullopt;
        const auto* header = static_cast<ACE_HEADER*>(raw);
        AccessEntry e;
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE: {
            const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            e.who = trustee(const_cast<DWORD*>(&ace->SidStart));
            e.mask = ace->Mask;
            break;
        }
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            e.kind = AccessEntry::Kind::deny;
            break;
        default:
            e.kind = AccessEntry::Kind::unknown;
        }
        access.entries.push_back(e);
    }
    return access;
}

// Only the system and the administrators, with full control of the folder and of all
// that is created in it; nothing inherited from above (ProgramData lets every user add
// folders and files, and would pass that on).
constexpr const wchar_t* kAdminOnly = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The folder as it is, opened without following a link: a real folder only the
// privileged accounts can change passes.
bool trusted_folder(const std::filesystem::path& dir, std::string* problem) {
    UniqueHandle h(CreateFileW(dir.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        *problem = "no se pudo abrir " + narrow(dir.native()) + " (error " +
                   std::to_string(GetLastError()) + ")";
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *problem = narrow(dir.native()) + " no es una carpeta";
        return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD r = GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd);
    std::unique_ptr<void, LocalFreer> owned(sd);
    if (r != ERROR_SUCCESS) {
        report_failure("GetSecurityInfo", r);
        *problem = "no se pudieron leer los permisos de " + narrow(dir.native());
        return false;
    }
    const auto access = read_access(owner, dacl);
    if (!access || !only_privileged_write(*access)) {
        *problem = "otros usuarios pueden cambiar " + narrow(dir.native());
        return false;
    }
    return true;
}

} // namespace

std::optional<ObjectAccess> object_access(const std::filesystem::path& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, &sd);
    std::unique_ptr<void, LocalFreer> owned(sd);
    if (r != ERROR_SUCCESS) {
        report_failure("GetNamedSecurityInfoW", r);
        return std::nullopt;
    }
    return read_access(owner, dacl);
}

std::optional<std::filesystem::path> admin_only_folder(const std::filesystem::path& base,
                                                       const std::vector<std::wstring>& levels,
                                                       std::string* problem) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnly, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        report_last_error("ConvertStringSecurityDescriptorToSecurityDescriptorW");
        *problem = "no se pudieron preparar los permisos de la carpeta";
        return std::nullopt;
    }
    std::unique_ptr<void, LocalFreer> owned(sd);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    std::filesystem::path dir = base;
    for (const auto& level : levels) {
        dir /= level;
        // Made by us with the right permissions from the start, or else there before us,
        // perhaps by someone else, and then looked at, never trusted.
        if (CreateDirectoryW(dir.c_str(), &sa)) continue;
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) {
            report_failure("CreateDirectoryW", code);
            *problem = "no se pudo crear " + narrow(dir.native()) + " (error " +
                       std::to_string(code) + ")";
            return std::nullopt;
        }
        if (!trusted_folder(dir, problem)) return std::nullopt;
    }
    return dir;
}

} // namespace kelvora::platform::win
