#include "app/command_line.hpp"

#include <algorithm>

#include "base/text.hpp"

namespace kelvora {

Options parse_options(const std::vector<std::string>& args) {
    auto flag = [&](const char* name) {
        return std::find(args.begin(), args.end(), name) != args.end();
    };
    auto value = [&](const char* name) -> std::optional<std::string> {
        auto it = std::find(args.begin(), args.end(), name);
        if (it == args.end() || it + 1 == args.end()) return std::nullopt;
        return *(it + 1);
    };
    Options o;
    o.version = flag("--version");
    o.uninstall = flag("--uninstall");
    o.autostart = value("--autostart");
    o.cleanup = flag("--cleanup");
    o.startup = flag("--startup");
    o.after_update = value("--after-update");
    if (auto pid = value("--pid"))
        if (auto n = parse_unsigned(*pid, UINT32_MAX)) o.pid = static_cast<std::uint32_t>(*n);
    if (auto port = value("--port"))
        if (auto n = parse_unsigned(*port, UINT16_MAX)) o.port = static_cast<std::uint16_t>(*n);
    o.no_elevate = flag("--no-elevate");
    o.no_tray = flag("--no-tray");
    o.no_window = flag("--no-window");
    return o;
}

} // namespace kelvora
