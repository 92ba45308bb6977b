#pragma once
// Linux evdev key codes for the keys the portable code names by set-1 scan code or by
// Windows virtual-key code. The X server of a Linux desktop numbers keys as evdev + 8.
#include <cstdint>

namespace kelvora::platform::linux_keys {

// 0 when the key has no evdev code.
int evdev_code(std::uint16_t code, bool virtual_key, bool extended);

} // namespace kelvora::platform::linux_keys
