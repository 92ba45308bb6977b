#pragma once
// The desktop services of one run: monitors and their modes, remote input and the
// clipboard, built once at start-up and handed to the routes and the exit sequence.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "base/json_file.hpp"
#include "base/log.hpp"
#include "desktop/capture_window.hpp"
#include "desktop/clipboard.hpp"
#include "desktop/held_input.hpp"
#include "desktop/input_request.hpp"
#include "desktop/mailbox.hpp"
#include "desktop/pc_audio.hpp"
#include "desktop/resolution.hpp"

namespace kelvora::desktop {

class Desktop {
public:
    // The marker of changed screen modes and the capture window's profile live in data_dir.
    Desktop(const std::filesystem::path& data_dir, const Log& log);

    // The monitor list, primary first, then by x, then by y.
    json monitor_list();
    // Puts back every screen mode that this program changed (also those a crashed run left).
    void restore_resolutions();
    // Lets go of every key and button that remote input holds down.
    void release_held_input();
    // Ends the capture window, if one is open.
    void close_capture_window();
    // Where input lands, asked of the display at most once a second: a pointer move must not
    // wait for a new X connection and a RandR query. Forgotten when a mode changes here.
    InputTarget input_target();
    void forget_input_target();

    Resolutions& resolutions() { return resolutions_; }
    Mailbox& mailbox() { return mailbox_; }
    CaptureWindow& capture_window() { return capture_; }
    PcAudio& pc_audio() { return audio_; }
    HeldInput& held_input() { return held_; }
    const InputPort& input() const { return input_; }
    const ClipboardPort& clipboard() const { return clipboard_; }
    const Log& log() const { return log_; }

private:
    const Log& log_;
    std::unique_ptr<DisplayBackend> display_;
    Resolutions resolutions_;
    HeldInput held_;
    InputPort input_;
    ClipboardPort clipboard_;
    Mailbox mailbox_;
    CaptureWindow capture_;
    PcAudio audio_;
    std::mutex target_mu_;
    std::optional<InputTarget> target_; // guarded by target_mu_, as is target_at_
    std::chrono::steady_clock::time_point target_at_;
};

} // namespace kelvora::desktop
