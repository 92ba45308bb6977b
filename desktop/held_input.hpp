#pragma once
// The keys and buttons that remote input holds down right now, so that they can all be let
// go at once. Every member locks.
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input.hpp"

namespace kelvora::desktop {

inline constexpr int kButtons = 5; // left, middle, right, back, forward

class HeldInput {
public:
    void key_down(const std::string& code);
    void key_up(const std::string& code);
    void button(int b, bool down);

    struct Snapshot {
        std::vector<std::string> keys; // in the order of their first press
        std::array<bool, kButtons> buttons{};
    };
    // Takes everything held and leaves the record empty.
    Snapshot take_all();

private:
    std::mutex mu_;
    Snapshot held_;
};

// The releases for what was held: keys from the last pressed to the first (codes that no
// longer map are skipped), then the buttons from left to forward.
std::vector<platform::InputRecord> release_records(const HeldInput::Snapshot& held);

} // namespace kelvora::desktop
