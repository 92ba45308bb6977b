#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// The command line, arguments after the program name. An option is present when one
// argument equals its name exactly; an option with a value takes the next argument and
// counts as absent when its name is the last argument.
struct Options {
    bool version = false;
    bool uninstall = false;
    std::optional<std::string> autostart;
    bool cleanup = false;
    bool startup = false;
    std::optional<std::string> after_update;
    std::optional<std::uint32_t> pid;
    std::optional<std::uint16_t> port;
    bool no_elevate = false;
    bool no_tray = false;
    bool no_window = false;
};

Options parse_options(const std::vector<std::string>& args);

} // namespace kelvora
