#pragma once
// The system clipboard's Unicode text.
#include <memory>
#include <string>

namespace kelvora::platform {

struct ClipboardText {
    enum class Kind { text, none, invalid, failed };
    Kind kind = Kind::none;
    std::string utf8;
};

// One opening of the clipboard, closed again when destroyed.
class OpenClipboard {
public:
    virtual ~OpenClipboard() = default;
    // The text on the clipboard: none when it holds no text, invalid when the text
    // can't be turned into UTF-8, failed when it couldn't be read at all.
    virtual ClipboardText read_text() = 0;
    // Replaces the clipboard's contents with the text; true when the OS took it.
    virtual bool write_text(const std::string& utf8) = 0;
};

// One attempt to open the clipboard; null when another program holds it right now.
std::unique_ptr<OpenClipboard> open_clipboard();

} // namespace kelvora::platform
