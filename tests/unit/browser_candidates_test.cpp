#include <gtest/gtest.h>

#include <map>
#include <set>

#include "app/browser_candidates.hpp"

using namespace kelvora;

namespace {

// A Windows PC described by its App Paths values, its environment and the files on disk.
struct FakePc {
    std::map<std::string, std::string> app_paths;
    std::map<std::string, std::string> env = {{"ProgramFiles", "C:\\Program Files"},
                                              {"ProgramFiles(x86)", "C:\\Program Files (x86)"},
                                              {"LOCALAPPDATA", "C:\\Users\\ana\\AppData\\Local"}};
    std::set<std::string> files;
    std::map<std::string, std::string> path; // programs on PATH

    BrowserLookups lookups() const {
        return {
            [this](const std::string& exe) -> std::optional<std::string> {
                auto it = app_paths.find(exe);
                if (it == app_paths.end()) return std::nullopt;
                return it->second;
            },
            [this](const std::string& name) -> std::optional<std::string> {
                auto it = env.find(name);
                if (it == env.end()) return std::nullopt;
                return it->second;
            },
            [this](const std::string& p) { return files.count(p) > 0; },
            [this](const std::string& name) -> std::optional<std::string> {
                auto it = path.find(name);
                if (it == path.end()) return std::nullopt;
                return it->second;
            },
        };
    }
};

const std::string kPf = "C:\\Program Files\\";
const std::string kPf86 = "C:\\Program Files (x86)\\";
const std::string kLocal = "C:\\Users\\ana\\AppData\\Local\\";
const std::string kEdge = "Microsoft\\Edge\\Application\\msedge.exe";
const std::string kChrome = "Google\\Chrome\\Application\\chrome.exe";
const std::string kBrave = "BraveSoftware\\Brave-Browser\\Application\\brave.exe";

} // namespace

TEST(BrowserCandidates, FullOrder) {
    FakePc pc;
    pc.app_paths = {{"msedge.exe", "D:\\edge\\msedge.exe"}, {"chrome.exe", "D:\\chrome.exe"}};
    const std::vector<std::string> want = {
        "D:\\edge\\msedge.exe", kPf86 + kEdge,    kPf + kEdge,     kLocal + kEdge,
        "D:\\chrome.exe",       kPf + kChrome,    kPf + kBrave,    kPf86 + kChrome,
        kPf86 + kBrave,         kLocal + kChrome, kLocal + kBrave,
    };
    EXPECT_EQ(browser_candidates(pc.lookups(), platform::Os::windows), want);
}

TEST(BrowserCandidates, ChoosesTheFirstInstalled) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> app_paths;
        std::vector<std::string> files;
        std::optional<std::string> chosen;
    } cases[] = {
        {"Edge below LOCALAPPDATA beats Chrome in Program Files",
         {},
         {kPf + kChrome, kLocal + kEdge},
         kLocal + kEdge},
        {"Chrome beats Brave in Program Files (x86)",
         {},
         {kPf86 + kBrave, kPf86 + kChrome},
         kPf86 + kChrome},
        {"Brave in Program Files beats Chrome below LOCALAPPDATA",
         {},
         {kLocal + kChrome, kPf + kBrave},
         kPf + kBrave},
        {"an App Paths value that names a missing file is passed over",
         {{"msedge.exe", "D:\\gone\\msedge.exe"}},
         {kPf + kChrome},
         kPf + kChrome},
        {"App Paths of Chrome comes before Chrome in Program Files",
         {{"chrome.exe", "D:\\apps\\chrome.exe"}},
         {"D:\\apps\\chrome.exe", kPf + kChrome},
         "D:\\apps\\chrome.exe"},
        {"a quoted App Paths value counts as its path",
         {{"msedge.exe", "\"D:\\e\\msedge.exe\""}},
         {"D:\\e\\msedge.exe"},
         "D:\\e\\msedge.exe"},
        {"an unexpanded App Paths value is tried as it is",
         {{"msedge.exe", "%ProgramFiles%\\Edge\\msedge.exe"}},
         {"%ProgramFiles%\\Edge\\msedge.exe"},
         "%ProgramFiles%\\Edge\\msedge.exe"},
        {"nothing installed", {}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        FakePc pc;
        pc.app_paths = c.app_paths;
        pc.files.insert(c.files.begin(), c.files.end());
        EXPECT_EQ(choose_browser(pc.lookups(), platform::Os::windows), c.chosen) << c.what;
    }
}

TEST(BrowserCandidates, UnsetOrEmptyVariablesSkipTheirCandidates) {
    FakePc pc;
    pc.env = {{"ProgramFiles", "C:\\PF\\"}, {"ProgramFiles(x86)", ""}};
    const std::vector<std::string> want = {"C:\\PF\\" + kEdge, "C:\\PF\\" + kChrome,
                                           "C:\\PF\\" + kBrave};
    EXPECT_EQ(browser_candidates(pc.lookups(), platform::Os::windows), want);
}

TEST(BrowserCandidates, LinuxLooksOnPathInItsOwnOrder) {
    FakePc pc;
    pc.app_paths = {{"msedge.exe", "/opt/edge"}};
    pc.files = {"/opt/edge", "/usr/bin/chromium", "/usr/bin/brave-browser"};
    pc.path = {{"brave-browser", "/usr/bin/brave-browser"}, {"chromium", "/usr/bin/chromium"}};
    EXPECT_EQ(browser_candidates(pc.lookups(), platform::Os::linux_x11),
              (std::vector<std::string>{"/usr/bin/chromium", "/usr/bin/brave-browser"}))
        << "App Paths and the Windows folders mean nothing on Linux";
    pc.path["google-chrome"] = "/usr/bin/google-chrome";
    pc.files.insert("/usr/bin/google-chrome");
    EXPECT_EQ(choose_browser(pc.lookups(), platform::Os::linux_x11), "/usr/bin/google-chrome");
}
