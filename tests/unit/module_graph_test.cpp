// The modules (the top folders of the native host) depend on each other in one direction
// only: every #include "module/..." of one module's files is an edge, and the graph must
// have no cycle. The platform layer depends on no portable module, and the portable
// modules include no OS header.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kModules = {"base",    "http",   "records", "desktop", "update",
                                           "install", "manual", "transfer", "app", "platform"};

using Graph = std::map<std::string, std::set<std::string>>;

struct Include {
    std::string file, header;
};

// Every quoted include of the module's sources, the entry points in platform/<os>/main.cpp
// left out: they belong to the executable, which sits above every module.
std::vector<Include> includes_of(const std::string& module) {
    std::vector<Include> out;
    const std::regex quoted(R"re(^\s*#\s*include\s*[<"]([^">]+)[">])re");
    for (const auto& e : fs::recursive_directory_iterator(fs::path(KELVORA_SOURCE_DIR) / module)) {
        const auto ext = e.path().extension();
        if (ext != ".cpp" && ext != ".hpp") continue;
        if (e.path().filename() == "main.cpp") continue;
        std::ifstream in(e.path());
        std::string line;
        std::smatch m;
        while (std::getline(in, line))
            if (std::regex_search(line, m, quoted))
                out.push_back({fs::relative(e.path(), KELVORA_SOURCE_DIR).string(), m[1]});
    }
    return out;
}

Graph module_graph() {
    Graph g;
    for (const auto& module : kModules)
        for (const auto& inc : includes_of(module)) {
            const auto slash = inc.header.find('/');
            if (slash == std::string::npos) continue;
            const std::string to = inc.header.substr(0, slash);
            if (to != module && std::count(kModules.begin(), kModules.end(), to))
                g[module].insert(to);
        }
    return g;
}

// A path that comes back to where it started, as "a -> b -> a"; empty when there is none.
std::string find_cycle(const Graph& g) {
    std::map<std::string, int> state; // 1 on the path, 2 done
    std::vector<std::string> path;
    std::string found;
    std::function<bool(const std::string&)> visit = [&](const std::string& m) {
        state[m] = 1;
        path.push_back(m);
        if (auto it = g.find(m); it != g.end())
            for (const auto& to : it->second) {
                if (state[to] == 1) {
                    for (auto p = std::find(path.begin(), path.end(), to); p != path.end(); ++p)
                        found += *p + " -> ";
                    found += to;
                    return true;
                }
                if (state[to] == 0 && visit(to)) return true;
            }
        path.pop_back();
        state[m] = 2;
        return false;
    };
    for (const auto& m : kModules)
        if (state[m] == 0 && visit(m)) return found;
    return {};
}

} // namespace

TEST(ModuleGraph, HasNoCycle) {
    const auto g = module_graph();
    EXPECT_EQ(find_cycle(g), "");
    EXPECT_FALSE(g.contains("platform")) << "the platform layer includes a portable module";
    EXPECT_FALSE(g.count("base") && g.at("base").size() > 1)
        << "base depends on more than platform";
}

TEST(ModuleGraph, PortableCodeIncludesNoOsHeader) {
    const std::set<std::string> os_headers = {"windows.h",  "unistd.h",     "fcntl.h", "signal.h",
                                              "X11/Xlib.h", "sys/socket.h", "spawn.h"};
    for (const auto& module : kModules) {
        if (module == "platform") continue;
        for (const auto& inc : includes_of(module))
            EXPECT_FALSE(os_headers.contains(inc.header)) << inc.file << " includes " << inc.header;
    }
}

TEST(ModuleGraph, TheCycleFinderFindsOne) {
    EXPECT_EQ(find_cycle({{"app", {"http"}}, {"http", {"records"}}, {"records", {"http"}}}),
              "http -> records -> http");
    EXPECT_EQ(find_cycle({{"app", {"http", "records"}}, {"records", {"http"}}}), "");
}
