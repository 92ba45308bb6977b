#include "desktop/key_codes.hpp"

#include <array>

#include "base/text.hpp"

namespace kelvora::desktop {

namespace {

struct Named {
    std::string_view name;
    KeyCode key;
};

constexpr KeyCode scan(std::uint16_t c) {
    return {c, false, false};
}
constexpr KeyCode scan_ext(std::uint16_t c) {
    return {c, false, true};
}
constexpr KeyCode vk(std::uint16_t c) {
    return {c, true, false};
}

constexpr std::array kNamed{
    Named{"Escape", scan(0x01)},
    Named{"Minus", scan(0x0C)},
    Named{"Equal", scan(0x0D)},
    Named{"Backspace", scan(0x0E)},
    Named{"Tab", scan(0x0F)},
    Named{"BracketLeft", scan(0x1A)},
    Named{"BracketRight", scan(0x1B)},
    Named{"Enter", scan(0x1C)},
    Named{"ControlLeft", scan(0x1D)},
    Named{"Semicolon", scan(0x27)},
    Named{"Quote", scan(0x28)},
    Named{"Backquote", scan(0x29)},
    Named{"ShiftLeft", scan(0x2A)},
    Named{"Backslash", scan(0x2B)},
    Named{"Comma", scan(0x33)},
    Named{"Period", scan(0x34)},
    Named{"Slash", scan(0x35)},
    Named{"ShiftRight", scan(0x36)},
    Named{"NumpadMultiply", scan(0x37)},
    Named{"AltLeft", scan(0x38)},
    Named{"Space", scan(0x39)},
    Named{"CapsLock", scan(0x3A)},
    Named{"ScrollLock", scan(0x46)},
    Named{"NumpadSubtract", scan(0x4A)},
    Named{"NumpadAdd", scan(0x4E)},
    Named{"NumpadDecimal", scan(0x53)},
    Named{"IntlBackslash", scan(0x56)},
    Named{"NumpadEqual", scan(0x59)},
    Named{"KanaMode", scan(0x70)},
    Named{"Lang2", scan(0x71)},
    Named{"Lang1", scan(0x72)},
    Named{"IntlRo", scan(0x73)},
    Named{"Convert", scan(0x79)},
    Named{"NonConvert", scan(0x7B)},
    Named{"IntlYen", scan(0x7D)},
    Named{"NumpadComma", scan(0x7E)},
    Named{"NumpadEnter", scan_ext(0x1C)},
    Named{"ControlRight", scan_ext(0x1D)},
    Named{"NumpadDivide", scan_ext(0x35)},
    Named{"AltRight", scan_ext(0x38)},
    Named{"Home", scan_ext(0x47)},
    Named{"ArrowUp", scan_ext(0x48)},
    Named{"PageUp", scan_ext(0x49)},
    Named{"ArrowLeft", scan_ext(0x4B)},
    Named{"ArrowRight", scan_ext(0x4D)},
    Named{"End", scan_ext(0x4F)},
    Named{"ArrowDown", scan_ext(0x50)},
    Named{"PageDown", scan_ext(0x51)},
    Named{"Insert", scan_ext(0x52)},
    Named{"Delete", scan_ext(0x53)},
    Named{"MetaLeft", scan_ext(0x5B)},
    Named{"OSLeft", scan_ext(0x5B)},
    Named{"MetaRight", scan_ext(0x5C)},
    Named{"OSRight", scan_ext(0x5C)},
    Named{"ContextMenu", scan_ext(0x5D)},
    Named{"Pause", vk(0x13)},
    Named{"PrintScreen", vk(0x2C)},
    Named{"BrowserBack", vk(0xA6)},
    Named{"BrowserForward", vk(0xA7)},
    Named{"BrowserRefresh", vk(0xA8)},
    Named{"BrowserHome", vk(0xAC)},
    Named{"AudioVolumeMute", vk(0xAD)},
    Named{"VolumeMute", vk(0xAD)},
    Named{"AudioVolumeDown", vk(0xAE)},
    Named{"VolumeDown", vk(0xAE)},
    Named{"AudioVolumeUp", vk(0xAF)},
    Named{"VolumeUp", vk(0xAF)},
    Named{"MediaTrackNext", vk(0xB0)},
    Named{"MediaTrackPrevious", vk(0xB1)},
    Named{"MediaStop", vk(0xB2)},
    Named{"MediaPlayPause", vk(0xB3)},
    Named{"NumLock", KeyCode{0x90, true, true}},
};

// Scan codes of the letters A to Z, in alphabetical order.
constexpr std::array<std::uint16_t, 26> kLetters{
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
constexpr std::array<std::uint16_t, 10> kNumpadDigits{0x52, 0x4F, 0x50, 0x51, 0x4B,
                                                      0x4C, 0x4D, 0x47, 0x48, 0x49};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<KeyCode> function_key(std::string_view number) {
    const auto n = parse_unsigned(number, 1000);
    if (!n || *n < 1 || *n > 24) return std::nullopt;
    if (*n <= 10) return scan(static_cast<std::uint16_t>(0x3B + *n - 1));
    if (*n == 11) return scan(0x57);
    if (*n == 12) return scan(0x58);
    if (*n <= 23) return scan(static_cast<std::uint16_t>(0x64 + *n - 13));
    return scan(0x76);
}

} // namespace

std::optional<KeyCode> key_for(std::string_view code) {
    if (code.size() == 4 && code.starts_with("Key") && code[3] >= 'A' && code[3] <= 'Z')
        return scan(kLetters[static_cast<std::size_t>(code[3] - 'A')]);
    if (code.size() == 6 && code.starts_with("Digit") && is_digit(code[5]))
        return scan(code[5] == '0' ? 0x0B : static_cast<std::uint16_t>(0x02 + code[5] - '1'));
    if (code.size() == 7 && code.starts_with("Numpad") && is_digit(code[6]))
        return scan(kNumpadDigits[static_cast<std::size_t>(code[6] - '0')]);
    for (const auto& n : kNamed)
        if (n.name == code) return n.key;
    if (code.size() > 1 && code.front() == 'F') return function_key(code.substr(1));
    return std::nullopt;
}

} // namespace kelvora::desktop
