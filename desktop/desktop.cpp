#include "desktop/desktop.hpp"

#include <chrono>

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

constexpr auto kTargetFresh = std::chrono::seconds(1);

} // namespace

Desktop::Desktop(const std::filesystem::path& data_dir, const Log& log)
    : log_(log), display_(system_display()), resolutions_(*display_, data_dir / kMarkerFileName),
      input_{[this] { return input_target(); },
             [](std::span<const platform::InputRecord> recs) { return platform::send_input(recs); }},
      clipboard_(system_clipboard()), capture_(data_dir / "captura", mailbox_, log),
      audio_(log, system_loopback()) {}

InputTarget Desktop::input_target() {
    std::lock_guard lock(target_mu_);
    const auto now = std::chrono::steady_clock::now();
    if (!target_ || now - target_at_ > kTargetFresh) {
        target_ = system_input_target();
        target_at_ = now;
    }
    return *target_;
}

void Desktop::forget_input_target() {
    std::lock_guard lock(target_mu_);
    target_.reset();
}

json Desktop::monitor_list() {
    return monitors_json(in_list_order(display_->monitors()));
}

void Desktop::restore_resolutions() {
    resolutions_.restore_all();
    forget_input_target();
}

void Desktop::release_held_input() {
    release_all(held_, input_);
}

void Desktop::close_capture_window() {
    capture_.close();
}

} // namespace kelvora::desktop
