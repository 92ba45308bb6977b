#include "desktop/desktop.hpp"

#include <thread>

#include "desktop/monitors.hpp"

namespace kelvora::desktop {

namespace {

InputTarget system_input_target() {
    InputTarget t;
    for (const auto& m : in_list_order(platform::monitors()))
        t.monitors.push_back({m.x, m.y, m.w, m.h});
    t.screen = platform::virtual_screen();
    return t;
}

InputPort system_input() {
    return {system_input_target,
            [](std::span<const platform::InputRecord> recs) { return platform::send_input(recs); },
            [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }};
}

} // namespace

Desktop::Desktop(const std::filesystem::path& data_dir, const Log& log)
    : log_(log), display_(system_display()), resolutions_(*display_, data_dir / kMarkerFileName),
      input_(system_input()), clipboard_(system_clipboard()) {}

json Desktop::monitor_list() {
    return monitors_json(in_list_order(display_->monitors()));
}

void Desktop::restore_resolutions() {
    resolutions_.restore_all();
}

void Desktop::release_held_input() {
    release_all(held_, input_);
}

// The capture window is not part of this build yet: there is nothing to close.
void Desktop::close_capture_window() {}

} // namespace kelvora::desktop
