// Synthetic input through SendInput. Moves are absolute on the whole virtual desktop (the
// 0..65535 scale spans every monitor with MOUSEEVENTF_VIRTUALDESK).
#include "platform/input.hpp"

#include <vector>

#include "platform/windows/handle.hpp"

namespace kelvora::platform {

namespace {

INPUT mouse(LONG dx, LONG dy, DWORD data, DWORD flags) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = dx;
    in.mi.dy = dy;
    in.mi.mouseData = data;
    in.mi.dwFlags = flags;
    return in;
}

INPUT keyboard(WORD vk, WORD scan, DWORD flags) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = scan;
    in.ki.dwFlags = flags;
    return in;
}

INPUT to_input(const InputRecord& r) {
    static constexpr DWORD kDown[] = {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_MIDDLEDOWN,
                                      MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_XDOWN, MOUSEEVENTF_XDOWN};
    static constexpr DWORD kUp[] = {MOUSEEVENTF_LEFTUP, MOUSEEVENTF_MIDDLEUP, MOUSEEVENTF_RIGHTUP,
                                    MOUSEEVENTF_XUP, MOUSEEVENTF_XUP};
    const DWORD up = r.up ? KEYEVENTF_KEYUP : 0;
    switch (r.kind) {
    case InputRecord::Kind::move:
        return mouse(r.nx, r.ny, 0,
                     MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE);
    case InputRecord::Kind::button: {
        const int b = r.button < 0 || r.button > 4 ? 0 : r.button;
        const DWORD data = b == 3 ? XBUTTON1 : b == 4 ? XBUTTON2 : 0;
        return mouse(0, 0, data, r.up ? kUp[b] : kDown[b]);
    }
    case InputRecord::Kind::wheel:
        return mouse(0, 0, static_cast<DWORD>(r.amount),
                     r.horizontal ? MOUSEEVENTF_HWHEEL : MOUSEEVENTF_WHEEL);
    case InputRecord::Kind::key: {
        const DWORD ext = r.extended ? KEYEVENTF_EXTENDEDKEY : 0;
        if (r.virtual_key)
            return keyboard(r.code, static_cast<WORD>(MapVirtualKeyW(r.code, MAPVK_VK_TO_VSC)),
                            ext | up);
        // Windows takes the key from the scan code and ignores wVk, but Wine posts a
        // WM_KEYDOWN with virtual key 0 then, which no window turns into a character (nor
        // counts as Shift held): the key the layout gives that scan code goes along too.
        const UINT vsc = r.extended ? (0xE000u | r.code) : r.code;
        const auto vk = static_cast<WORD>(MapVirtualKeyW(vsc, MAPVK_VSC_TO_VK_EX));
        return keyboard(vk, r.code, KEYEVENTF_SCANCODE | ext | up);
    }
    case InputRecord::Kind::unicode:
        return keyboard(0, r.code, KEYEVENTF_UNICODE | up);
    }
    return INPUT{};
}

} // namespace

VirtualScreen virtual_screen() {
    return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

std::size_t send_input(std::span<const InputRecord> records) {
    std::vector<INPUT> inputs;
    inputs.reserve(records.size());
    for (const auto& r : records)
        inputs.push_back(to_input(r));
    if (inputs.empty()) return 0;
    const UINT sent =
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), static_cast<int>(sizeof(INPUT)));
    // Windows refuses input aimed at a window of higher integrity without saying so
    // through the count alone; the code tells the log why.
    if (sent == 0) win::report_last_error("SendInput");
    return sent;
}

} // namespace kelvora::platform
