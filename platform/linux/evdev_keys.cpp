#include "platform/linux/evdev_keys.hpp"

#include <linux/input-event-codes.h>

#include <utility>

namespace kelvora::platform::linux_keys {

namespace {

struct Pair {
    std::uint16_t from;
    int to;
};

// Below 0x59 the kernel's set-1 table is the identity; past it, and for the E0-prefixed
// codes, it is not.
constexpr Pair kHighScan[] = {
    {0x59, KEY_KPEQUAL},
    {0x64, KEY_F13},
    {0x65, KEY_F14},
    {0x66, KEY_F15},
    {0x67, KEY_F16},
    {0x68, KEY_F17},
    {0x69, KEY_F18},
    {0x6A, KEY_F19},
    {0x6B, KEY_F20},
    {0x6C, KEY_F21},
    {0x6D, KEY_F22},
    {0x6E, KEY_F23},
    {0x70, KEY_KATAKANAHIRAGANA},
    {0x71, KEY_HANJA},
    {0x72, KEY_HANGEUL},
    {0x73, KEY_RO},
    {0x76, KEY_F24},
    {0x79, KEY_HENKAN},
    {0x7B, KEY_MUHENKAN},
    {0x7D, KEY_YEN},
    {0x7E, KEY_KPCOMMA},
};
constexpr Pair kExtended[] = {
    {0x1C, KEY_KPENTER}, {0x1D, KEY_RIGHTCTRL}, {0x35, KEY_KPSLASH},  {0x38, KEY_RIGHTALT},
    {0x47, KEY_HOME},    {0x48, KEY_UP},        {0x49, KEY_PAGEUP},   {0x4B, KEY_LEFT},
    {0x4D, KEY_RIGHT},   {0x4F, KEY_END},       {0x50, KEY_DOWN},     {0x51, KEY_PAGEDOWN},
    {0x52, KEY_INSERT},  {0x53, KEY_DELETE},    {0x5B, KEY_LEFTMETA}, {0x5C, KEY_RIGHTMETA},
    {0x5D, KEY_COMPOSE},
};
constexpr Pair kVirtual[] = {
    {0x09, KEY_TAB},      {0x0D, KEY_ENTER},        {0x13, KEY_PAUSE},      {0x2C, KEY_SYSRQ},
    {0x90, KEY_NUMLOCK},  {0xA6, KEY_BACK},         {0xA7, KEY_FORWARD},    {0xA8, KEY_REFRESH},
    {0xAC, KEY_HOMEPAGE}, {0xAD, KEY_MUTE},         {0xAE, KEY_VOLUMEDOWN}, {0xAF, KEY_VOLUMEUP},
    {0xB0, KEY_NEXTSONG}, {0xB1, KEY_PREVIOUSSONG}, {0xB2, KEY_STOPCD},     {0xB3, KEY_PLAYPAUSE},
};

template <std::size_t N> int look_up(const Pair (&table)[N], std::uint16_t code) {
    for (const auto& p : table)
        if (p.from == code) return p.to;
    return 0;
}

} // namespace

int evdev_code(std::uint16_t code, bool virtual_key, bool extended) {
    if (virtual_key) return look_up(kVirtual, code);
    if (extended) return look_up(kExtended, code);
    if (code >= 0x01 && code <= 0x58) return code;
    return look_up(kHighScan, code);
}

} // namespace kelvora::platform::linux_keys
