#pragma once
// What a process's access token says about who it runs as, and the token of the user's
// own desktop shell. Included only by backend files: it brings in <windows.h>.
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/handle.hpp"

namespace kelvora::platform::win {

// The SID of the account a token belongs to, as bytes; empty when it can't be read.
std::vector<unsigned char> token_user(HANDLE token);
// The account this process runs as, as a SID text ("S-1-5-21-…").
std::optional<std::string> current_user_sid();

// True when we run with administrator rights in force: an elevated token, or a high (or
// system) integrity level, as with UAC turned off.
bool running_elevated();

struct ShellToken {
    bool found = false;     // the shell runs and its token could be read
    bool same_user = false; // ... and it is our own account's
    UniqueHandle primary;   // a primary token copied from it, when same_user (and it could be)
};
// The token of the desktop shell (Explorer) of our session: the logged-on user's normal
// rights. Copied only when it belongs to our own account.
ShellToken shell_token();

} // namespace kelvora::platform::win
