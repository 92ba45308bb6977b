#pragma once
// Where a Chromium-based browser for the app window is looked for on Windows, in order of
// preference: Edge first (it comes with Windows), then Chrome, then Brave.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

struct BrowserLookups {
    // The default value of HKLM ...\App Paths\<exe> as stored (variables unexpanded);
    // nothing when the key or value is missing.
    std::function<std::optional<std::string>(const std::string& exe)> app_path;
    // An environment variable; nothing when unset.
    std::function<std::optional<std::string>(const std::string& name)> env;
    std::function<bool(const std::string& path)> file_exists;
};

// Every candidate path in the order they are tried; unset variables give none.
std::vector<std::string> browser_candidates(const BrowserLookups& look);
// The first candidate that exists.
std::optional<std::string> choose_browser(const BrowserLookups& look);

} // namespace kelvora
