#pragma once
// How a browser started by an elevated Kelvora is kept from its administrator rights. The
// choice is plain logic over what the backend found out, so it is tested on every build.
#include <optional>
#include <string>
#include <vector>

namespace kelvora::platform {

enum class BrowserWay {
    as_is,         // we don't run elevated: the browser gets our own rights
    user_token,    // started with the logged-on user's own token, from the desktop shell
    admin_profile, // elevated, with a profile folder only the administrators can write
};

struct BrowserFacts {
    bool elevated = false;
    bool shell_found = false;       // the desktop shell runs and its token could be read
    bool same_user = false;         // the shell runs as the account we run as
    bool user_start_failed = false; // the start with the shell's token was tried and failed
};

struct BrowserChoice {
    BrowserWay way = BrowserWay::as_is;
    std::string why; // for the log line of admin_profile, in the user's words
};

// The shell's token is only ours to hand out when it belongs to our own account: elevated
// with another account's credentials, the browser would otherwise open in someone else's
// account, with our data folder out of its reach.
BrowserChoice choose_browser_way(const BrowserFacts& facts);

// Chromium's profile switch.
inline constexpr const char* kProfileSwitch = "--user-data-dir=";

// The arguments with the profile switch's folder replaced; nothing when they hold no such
// switch, or more than one (which one Chromium takes is its own business).
std::optional<std::vector<std::string>> with_profile_folder(std::vector<std::string> args,
                                                            const std::string& folder);

// The folder the profile switch names; nothing when not exactly one switch names one.
std::optional<std::string> profile_folder(const std::vector<std::string>& args);

} // namespace kelvora::platform
