#pragma once
// Synthetic mouse and keyboard input. The portable code decides every record; a backend
// only hands them to the OS.
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvora::platform {

// The bounding rectangle of all monitors, in virtual-desktop pixels.
struct VirtualScreen {
    int x = 0, y = 0, w = 0, h = 0;
};
VirtualScreen virtual_screen();

// One synthetic input record. Moves carry both the pixel and its 0..65535 form on the
// virtual desktop, so each backend takes the one its OS wants.
struct InputRecord {
    enum class Kind : std::uint8_t { move, button, wheel, key, unicode };
    Kind kind = Kind::move;
    bool up = false;          // button, key, unicode: a release
    int px = 0, py = 0;       // move: virtual-desktop pixel
    int nx = 0, ny = 0;       // move: the same pixel scaled to 0..65535
    int button = 0;           // button: 0 left, 1 middle, 2 right, 3 back, 4 forward
    int amount = 0;           // wheel: in 1/120 of a notch, positive away from the user / right
    bool horizontal = false;  // wheel
    std::uint16_t code = 0;   // key: set-1 scan code or virtual-key code; unicode: a UTF-16 unit
    bool virtual_key = false; // key: code is a virtual-key code
    bool extended = false;    // key: the extended bit
};

// Sends the records as one batch; returns how many the OS accepted.
std::size_t send_input(std::span<const InputRecord> records);

} // namespace kelvora::platform
