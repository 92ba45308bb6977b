#pragma once
// The notice a Chromium-based browser opens beside a page that captures the screen
// ("… is sharing your screen."): a window of the browser's own, drawn on the screen it
// captures, so the helped PC's picture would carry it to the technician. Declared here,
// implemented per OS in platform/<os>/sharing_notice.cpp.
#include <cstdint>
#include <functional>
#include <string>

namespace kelvora::platform {

// Keeps every such notice of the browser started as process pid out of the picture for
// as long as keep_watching() says true (asked at least once a second): a notice is put
// away as soon as it appears, and again whenever it comes back. Windows whose title begins
// with app_title_prefix (the app window itself) are never touched, nor any window of
// another program. The capture goes on: the notice is not the captured page.
void keep_sharing_notices_away(std::uint32_t pid, const std::string& app_title_prefix,
                               const std::function<bool()>& keep_watching);

} // namespace kelvora::platform
