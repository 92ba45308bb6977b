#include "records/history.hpp"

#include <fstream>
#include <string_view>
#include <vector>

#include "platform/system.hpp"

namespace kelvora::records {

namespace {

// The history is never trimmed, so it is read from its end: a window that doubles until
// it holds enough lines or the whole file.
constexpr std::streamoff kFirstWindow = 16 * 1024;

bool ends_without_line_feed(std::fstream& f) {
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    if (size <= 0) return false;
    f.seekg(size - 1);
    char last = '\n';
    f.get(last);
    return last != '\n';
}

} // namespace

json history_line(const EndedSession& e, const std::string& fecha) {
    return {{"fecha", fecha},        {"rol", e.session.role == "host" ? "recibi" : "di"},
            {"con", e.session.con},  {"id", e.session.id},
            {"segundos", e.seconds}, {"control", e.session.control}};
}

HistoryFile::HistoryFile(std::filesystem::path dir) : file_(std::move(dir) / kHistoryFile) {}

bool HistoryFile::append(const json& line) {
    const std::string text = to_compact(line) + "\n";
    std::lock_guard lock(mutex_);
    bool torn = false;
    {
        std::fstream f(file_, std::ios::in | std::ios::binary);
        torn = f && ends_without_line_feed(f);
    }
    // A line cut short by a crash would swallow this one; start on a line of its own.
    return platform::append_to_file(file_, torn ? "\n" + text : text);
}

json HistoryFile::newest(std::size_t max) const {
    std::lock_guard lock(mutex_);
    json out = json::array();
    std::ifstream in(file_, std::ios::binary);
    if (!in || max == 0) return out;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0) return out;
    for (std::streamoff window = kFirstWindow;; window *= 2) {
        const std::streamoff from = window >= size ? 0 : size - window;
        std::string text(static_cast<std::size_t>(size - from), '\0');
        in.clear();
        in.seekg(from);
        if (!in.read(text.data(), static_cast<std::streamsize>(text.size()))) return out;
        // The window's first line may be cut, unless the window starts the file.
        std::string_view rest(text);
        if (from > 0) {
            const auto nl = rest.find('\n');
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        }
        std::vector<std::string_view> lines;
        for (std::size_t at = 0; at < rest.size();) {
            const auto nl = rest.find('\n', at);
            const std::size_t stop = nl == std::string_view::npos ? rest.size() : nl;
            lines.push_back(rest.substr(at, stop - at));
            at = stop + 1;
        }
        out = json::array();
        for (auto it = lines.rbegin(); it != lines.rend() && out.size() < max; ++it)
            if (auto v = parse_json(*it)) out.push_back(std::move(*v));
        if (out.size() >= max || from == 0) return out;
    }
}

} // namespace kelvora::records
