#include "desktop/clipboard.hpp"

#include <thread>

#include "base/text.hpp"

namespace kelvora::desktop {

ClipboardPort system_clipboard() {
    return {platform::open_clipboard,
            [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }};
}

std::string with_crlf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n') out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

std::string with_lf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    return out;
}

std::unique_ptr<platform::OpenClipboard> open_with_retries(const ClipboardPort& port) {
    for (int i = 0; i < kOpenTries; ++i) {
        if (auto c = port.open()) return c;
        port.sleep(kOpenPause);
    }
    return nullptr;
}

json read_clipboard(const ClipboardPort& port) {
    const json refused = {{"ok", false}, {"texto", ""}};
    auto clip = open_with_retries(port);
    if (!clip) return refused;
    const auto got = clip->read_text();
    clip.reset();
    switch (got.kind) {
    case platform::ClipboardText::Kind::text:
        if (!is_valid_utf8(got.utf8)) break;
        return {{"ok", true}, {"texto", got.utf8}};
    case platform::ClipboardText::Kind::none:
        return {{"ok", true}, {"texto", ""}};
    case platform::ClipboardText::Kind::invalid:
    case platform::ClipboardText::Kind::failed:
        break;
    }
    return refused;
}

bool write_clipboard(const ClipboardPort& port, const std::string& text) {
    const std::string normalised =
        port.os == platform::Os::windows ? with_crlf(text) : with_lf(text);
    auto clip = open_with_retries(port);
    return clip && clip->write_text(normalised);
}

} // namespace kelvora::desktop
