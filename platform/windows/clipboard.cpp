// The clipboard's CF_UNICODETEXT. Opened without an owner window: we only put text there
// and read it, and never render formats on demand.
#include "platform/clipboard.hpp"

#include <cstring>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

struct GlobalFreer {
    void operator()(void* g) const {
        if (g) GlobalFree(g);
    }
};
using UniqueGlobal = std::unique_ptr<void, GlobalFreer>;

bool has_lone_surrogate(std::wstring_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const wchar_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return true;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

class WinClipboard final : public OpenClipboard {
public:
    ~WinClipboard() override { CloseClipboard(); }

    ClipboardText read_text() override {
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        if (!data) return {};
        const auto* p = static_cast<const wchar_t*>(GlobalLock(data));
        if (!p) return {};
        // Up to the terminating zero, never past the block even if a program left none.
        const std::size_t room = GlobalSize(data) / sizeof(wchar_t);
        std::size_t n = 0;
        while (n < room && p[n] != 0)
            ++n;
        const std::wstring text(p, n);
        GlobalUnlock(data);
        if (has_lone_surrogate(text)) return {ClipboardText::Kind::invalid, {}};
        return {ClipboardText::Kind::text, win::narrow(text)};
    }

    bool write_text(const std::string& utf8) override {
        EmptyClipboard();
        const std::wstring text = win::widen(utf8);
        const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, bytes));
        if (!block) {
            win::report_last_error("GlobalAlloc");
            return false;
        }
        void* p = GlobalLock(block.get());
        if (!p) {
            win::report_last_error("GlobalLock");
            return false;
        }
        std::memcpy(p, text.c_str(), bytes);
        GlobalUnlock(block.get());
        if (!SetClipboardData(CF_UNICODETEXT, block.get())) {
            win::report_last_error("SetClipboardData");
            return false;
        }
        // The clipboard owns the block from here on.
        (void)block.release();
        return true;
    }
};

} // namespace

std::unique_ptr<OpenClipboard> open_clipboard() {
    if (!::OpenClipboard(nullptr)) return nullptr;
    return std::make_unique<WinClipboard>();
}

} // namespace kelvora::platform
