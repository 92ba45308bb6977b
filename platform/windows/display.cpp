// Monitors and display modes. Changes are made with CDS_FULLSCREEN, which Windows treats as
// temporary: the registry keeps each device's own mode, and a change with no mode returns
// the device to it.
#include "platform/display.hpp"

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

BOOL CALLBACK add_monitor(HMONITOR m, HDC, LPRECT, LPARAM out) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(m, &info)) return TRUE;
    const RECT& r = info.rcMonitor;
    reinterpret_cast<std::vector<Monitor>*>(out)->push_back(
        {static_cast<int>(r.left), static_cast<int>(r.top), static_cast<int>(r.right - r.left),
         static_cast<int>(r.bottom - r.top), (info.dwFlags & MONITORINFOF_PRIMARY) != 0,
         win::narrow(info.szDevice)});
    return TRUE;
}

DisplayMode to_mode(const DEVMODEW& dm) {
    return {static_cast<int>(dm.dmPelsWidth), static_cast<int>(dm.dmPelsHeight),
            static_cast<int>(dm.dmDisplayFrequency), static_cast<int>(dm.dmBitsPerPel),
            (dm.dmDisplayFlags & DM_INTERLACED) != 0};
}

} // namespace

std::vector<Monitor> monitors() {
    std::vector<Monitor> out;
    if (!EnumDisplayMonitors(nullptr, nullptr, add_monitor, reinterpret_cast<LPARAM>(&out)))
        win::report_last_error("EnumDisplayMonitors");
    return out;
}

std::optional<DisplayMode> current_mode(const std::string& device) {
    DEVMODEW dm{};
    dm.dmSize = sizeof dm;
    if (!EnumDisplaySettingsW(win::widen(device).c_str(), ENUM_CURRENT_SETTINGS, &dm)) {
        win::report_last_error("EnumDisplaySettingsW");
        return std::nullopt;
    }
    return to_mode(dm);
}

std::vector<DisplayMode> display_modes(const std::string& device, std::size_t max) {
    std::vector<DisplayMode> out;
    const std::wstring name = win::widen(device);
    for (DWORD i = 0; i < max; ++i) {
        DEVMODEW dm{};
        dm.dmSize = sizeof dm;
        if (!EnumDisplaySettingsW(name.c_str(), i, &dm)) break;
        out.push_back(to_mode(dm));
    }
    return out;
}

namespace {

ModeResult result_of(LONG r) {
    if (r == DISP_CHANGE_SUCCESSFUL) return {};
    win::report_failure("ChangeDisplaySettingsExW", static_cast<unsigned long>(r));
    return {r == DISP_CHANGE_BADMODE ? ModeResult::Outcome::no_such_mode
                                     : ModeResult::Outcome::refused,
            r};
}

} // namespace

ModeResult change_mode(const std::string& device, const DisplayMode& mode) {
    DEVMODEW dm{};
    dm.dmSize = sizeof dm;
    dm.dmBitsPerPel = static_cast<DWORD>(mode.depth);
    dm.dmPelsWidth = static_cast<DWORD>(mode.w);
    dm.dmPelsHeight = static_cast<DWORD>(mode.h);
    dm.dmDisplayFrequency = static_cast<DWORD>(mode.hz);
    dm.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY;
    return result_of(ChangeDisplaySettingsExW(win::widen(device).c_str(), &dm, nullptr,
                                              CDS_FULLSCREEN, nullptr));
}

// Windows keeps each device's own mode in the registry; a change with CDS_FULLSCREEN never
// touches it, so the way back needs no note.
std::optional<std::string> stored_mode_note(const std::string&) {
    return std::string();
}

ModeResult return_to_stored_mode(const std::string& device, const std::string&) {
    return result_of(
        ChangeDisplaySettingsExW(win::widen(device).c_str(), nullptr, nullptr, 0, nullptr));
}

} // namespace kelvora::platform
