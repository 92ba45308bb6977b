#pragma once
// Turning remote pointer, wheel, key and text events into input records.
#include <cstdint>
#include <string_view>
#include <vector>

#include "desktop/key_codes.hpp"
#include "platform/input.hpp"

namespace kelvora::desktop {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

// Where fractions of the shown monitor land: the monitors in list order and the virtual
// desktop around them.
struct InputTarget {
    std::vector<Rect> monitors;
    platform::VirtualScreen screen;
};

// The absolute move to the point at fractions (x, y) of monitor mon; a monitor that isn't
// in the list means the first one, and no monitor at all the whole virtual desktop.
platform::InputRecord absolute_move(double x, double y, const InputTarget& target,
                                    std::int64_t mon);

platform::InputRecord button_record(int button, bool up);
platform::InputRecord key_record(const KeyCode& key, bool up);
// Wheel amounts as sent: rounded, within -30000..30000, 0 when not finite.
int wheel_amount(double v);

// The down and up records that type the text: CRs dropped, tab and LF as the Tab and
// Enter keys, every other UTF-16 unit (each half of a surrogate pair alone) as itself.
std::vector<platform::InputRecord> text_records(std::string_view utf8);

} // namespace kelvora::desktop
