#include "platform/windows/token.hpp"

#include <sddl.h>

#include <memory>

#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

namespace {

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

UniqueHandle own_token(DWORD access) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), access, &raw)) {
        report_last_error("OpenProcessToken");
        return nullptr;
    }
    return UniqueHandle(raw);
}

} // namespace

std::vector<unsigned char> token_user(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    // A SID is at most 68 bytes; anything far past that is not a TOKEN_USER.
    if (size == 0 || size > 1024) return {};
    std::vector<unsigned char> info(size);
    if (!GetTokenInformation(token, TokenUser, info.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
    if (!IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

std::optional<std::string> current_user_sid() {
    const auto token = own_token(TOKEN_QUERY);
    if (!token) return std::nullopt;
    auto sid = token_user(token.get());
    if (sid.empty()) {
        report_last_error("GetTokenInformation(TokenUser)");
        return std::nullopt;
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid.data(), &text)) {
        report_last_error("ConvertSidToStringSidW");
        return std::nullopt;
    }
    std::unique_ptr<void, LocalFreer> owned(text);
    return narrow(text);
}

bool running_elevated() {
    const auto token = own_token(TOKEN_QUERY);
    if (!token) return false;
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size) &&
        type == TokenElevationTypeFull)
        return true;
    // With UAC off an administrator's token is the only one, "default" and not split, but
    // its integrity level still says what it may do.
    union {
        TOKEN_MANDATORY_LABEL label;
        unsigned char bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    } info;
    if (!GetTokenInformation(token.get(), TokenIntegrityLevel, &info, sizeof info, &size))
        return false;
    const PSID sid = info.label.Label.Sid;
    if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0) return false;
    const DWORD level = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    return level >= SECURITY_MANDATORY_HIGH_RID;
}

ShellToken shell_token() {
    ShellToken result;
    const HWND shell = GetShellWindow();
    if (!shell) return result;
    DWORD pid = 0;
    GetWindowThreadProcessId(shell, &pid);
    if (pid == 0) return result;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        report_last_error("OpenProcess(shell)");
        return result;
    }
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) {
        report_last_error("OpenProcessToken(shell)");
        return result;
    }
    UniqueHandle token(raw);
    const auto theirs = token_user(token.get());
    const auto ours_token = own_token(TOKEN_QUERY);
    if (theirs.empty() || !ours_token) return result;
    const auto ours = token_user(ours_token.get());
    if (ours.empty()) return result;
    result.found = true;
    result.same_user = EqualSid(const_cast<unsigned char*>(theirs.data()),
                                const_cast<unsigned char*>(ours.data())) != FALSE;
    if (!result.same_user) return result;
    HANDLE copy = nullptr;
    if (!DuplicateTokenEx(token.get(),
                          TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                              TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, &copy)) {
        report_last_error("DuplicateTokenEx");
        return result;
    }
    result.primary.reset(copy);
    return result;
}

} // namespace kelvora::platform::win
