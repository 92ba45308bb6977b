#include "desktop/held_input.hpp"

#include <algorithm>

#include "desktop/input_records.hpp"
#include "desktop/key_codes.hpp"

namespace kelvora::desktop {

void HeldInput::key_down(const std::string& code) {
    std::lock_guard lock(mu_);
    if (std::find(held_.keys.begin(), held_.keys.end(), code) == held_.keys.end())
        held_.keys.push_back(code);
}

void HeldInput::key_up(const std::string& code) {
    std::lock_guard lock(mu_);
    std::erase(held_.keys, code);
}

void HeldInput::button(int b, bool down) {
    if (b < 0 || b >= kButtons) return;
    std::lock_guard lock(mu_);
    held_.buttons[static_cast<std::size_t>(b)] = down;
}

HeldInput::Snapshot HeldInput::take_all() {
    std::lock_guard lock(mu_);
    Snapshot out = std::move(held_);
    held_ = Snapshot{};
    return out;
}

std::vector<platform::InputRecord> release_records(const HeldInput::Snapshot& held) {
    std::vector<platform::InputRecord> out;
    for (auto it = held.keys.rbegin(); it != held.keys.rend(); ++it)
        if (auto key = key_for(*it)) out.push_back(key_record(*key, true));
    for (int b = 0; b < kButtons; ++b)
        if (held.buttons[static_cast<std::size_t>(b)]) out.push_back(button_record(b, true));
    return out;
}

} // namespace kelvora::desktop
