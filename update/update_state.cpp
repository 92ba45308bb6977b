#include "update/update_state.hpp"

#include "base/version.hpp"

namespace kelvora::update {

// This build carries no updater yet: the status is the idle one, nothing is available and
// nothing can be installed.
json update_status(bool auto_check) {
    return {
        {"current", kVersion},
        {"phase", "idle"},
        {"pct", 0},
        {"msg", ""},
        {"auto", auto_check},
        {"last_check", nullptr},
        {"available", false},
        {"latest", nullptr},
        {"dismissed", nullptr},
        {"can_install", false},
        {"portable", true},
        {"waiting", false},
        {"result", nullptr},
        {"page", std::string(kProductSite) + "kelvora/"},
        {"canal", ""},
    };
}

} // namespace kelvora::update
