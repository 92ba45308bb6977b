#pragma once
// The browser's KeyboardEvent.code names and the key each one stands for.
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvora::desktop {

struct KeyCode {
    std::uint16_t code = 0;   // set-1 scan code, or virtual-key code when virtual_key
    bool virtual_key = false; // keys a scan code can't reach reliably (media, Pause, PrintScreen)
    bool extended = false;
    bool operator==(const KeyCode&) const = default;
};

// Nothing for names without a key.
std::optional<KeyCode> key_for(std::string_view code);

inline constexpr std::uint16_t kVkTab = 0x09;
inline constexpr std::uint16_t kVkReturn = 0x0D;

} // namespace kelvora::desktop
