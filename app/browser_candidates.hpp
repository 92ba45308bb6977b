#pragma once
// Where a Chromium-based browser for the app window is looked for, in order of preference.
// On Windows: Edge first (it comes with Windows), then Chrome, then Brave, from App Paths
// and the program folders. On Linux: microsoft-edge, google-chrome, chromium, brave-browser
// on PATH.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.hpp"

namespace kelvora {

struct BrowserLookups {
    // The default value of HKLM ...\App Paths\<exe> as stored (variables unexpanded);
    // nothing when the key or value is missing.
    std::function<std::optional<std::string>(const std::string& exe)> app_path;
    // An environment variable; nothing when unset.
    std::function<std::optional<std::string>(const std::string& name)> env;
    std::function<bool(const std::string& path)> file_exists;
    // A program's full path on PATH; nothing when it isn't there.
    std::function<std::optional<std::string>(const std::string& name)> on_path;
};
// The lookups answered by this PC.
BrowserLookups system_browser_lookups();

// Every candidate path in the order they are tried; unset variables give none.
std::vector<std::string> browser_candidates(const BrowserLookups& look, platform::Os os);
// The first candidate that exists.
std::optional<std::string> choose_browser(const BrowserLookups& look, platform::Os os);

} // namespace kelvora
