#include "app/browser_candidates.hpp"

#include "platform/process.hpp"
#include "platform/shell.hpp"

namespace kelvora {

namespace {

constexpr const char* kEdge = "Microsoft\\Edge\\Application\\msedge.exe";
constexpr const char* kChrome = "Google\\Chrome\\Application\\chrome.exe";
constexpr const char* kBrave = "BraveSoftware\\Brave-Browser\\Application\\brave.exe";

// An empty value is treated as unset: it would turn the candidate into a path relative to
// the root of the current drive.
void add_below(std::vector<std::string>& out, const BrowserLookups& look, const char* var,
               const char* relative) {
    auto root = look.env(var);
    if (!root || root->empty()) return;
    std::string dir = *root;
    if (dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
    out.push_back(dir + relative);
}

// App Paths values are sometimes written with quotes around the path; the file test
// needs the bare path.
void add_app_path(std::vector<std::string>& out, const BrowserLookups& look, const char* exe) {
    auto v = look.app_path(exe);
    if (!v) return;
    std::string p = *v;
    if (p.size() >= 2 && p.front() == '"' && p.back() == '"') p = p.substr(1, p.size() - 2);
    if (!p.empty()) out.push_back(p);
}

} // namespace

BrowserLookups system_browser_lookups() {
    return {platform::registry_app_path,
            [](const std::string& name) { return platform::env(name.c_str()); }, platform::is_file,
            platform::find_on_path};
}

std::vector<std::string> browser_candidates(const BrowserLookups& look, platform::Os os) {
    std::vector<std::string> out;
    if (os == platform::Os::linux_x11) {
        for (const char* name : {"microsoft-edge", "google-chrome", "chromium", "brave-browser"})
            if (auto p = look.on_path(name)) out.push_back(*p);
        return out;
    }
    add_app_path(out, look, "msedge.exe");
    for (const char* var : {"ProgramFiles(x86)", "ProgramFiles", "LOCALAPPDATA"})
        add_below(out, look, var, kEdge);
    add_app_path(out, look, "chrome.exe");
    for (const char* var : {"ProgramFiles", "ProgramFiles(x86)", "LOCALAPPDATA"}) {
        add_below(out, look, var, kChrome);
        add_below(out, look, var, kBrave);
    }
    return out;
}

std::optional<std::string> choose_browser(const BrowserLookups& look, platform::Os os) {
    for (auto& c : browser_candidates(look, os))
        if (look.file_exists(c)) return c;
    return std::nullopt;
}

} // namespace kelvora
