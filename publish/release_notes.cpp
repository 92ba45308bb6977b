#include "publish/release_notes.hpp"

#include <vector>

#include "base/text.hpp"
#include "update/manifest.hpp"

namespace kelvora::publish {

namespace {

struct Entry {
    std::string version, date, md;
};

// "## v<version>", then optionally a dash (— – or -) and the date.
std::optional<Entry> heading(std::string_view line) {
    if (!line.starts_with("## v")) return std::nullopt;
    line.remove_prefix(4);
    const auto space = line.find(' ');
    Entry e;
    e.version = std::string(line.substr(0, space));
    if (!update::is_release_version(e.version)) return std::nullopt;
    std::string rest = space == std::string_view::npos ? "" : trim(line.substr(space));
    for (std::string_view dash : {"—", "–", "-"})
        if (rest.starts_with(dash)) {
            rest = trim(std::string_view(rest).substr(dash.size()));
            break;
        }
    e.date = rest;
    return e;
}

std::vector<Entry> entries_of(std::string_view notes) {
    std::vector<Entry> out;
    bool in_entry = false;
    for (std::size_t pos = 0; pos < notes.size();) {
        std::size_t end = notes.find('\n', pos);
        if (end == std::string_view::npos) end = notes.size();
        std::string_view line = notes.substr(pos, end - pos);
        if (line.ends_with('\r')) line.remove_suffix(1);
        pos = end + 1;
        if (auto h = heading(line)) {
            out.push_back(std::move(*h));
            in_entry = true;
        } else if (line.starts_with("# ") || line.starts_with("## ")) {
            in_entry = false;
        } else if (in_entry) {
            out.back().md.append(line).push_back('\n');
        }
    }
    for (auto& e : out) e.md = trim(e.md);
    return out;
}

} // namespace

Changes changes_up_to(std::string_view notes, const std::string& version) {
    Changes c;
    if (!is_valid_utf8(notes)) {
        c.error = "las notas de la versión no están en UTF-8";
        return c;
    }
    bool has_own = false;
    for (const auto& e : entries_of(notes)) {
        if (update::newer_version(e.version, version)) continue;
        if (e.version == version) has_own = !e.md.empty();
        if (c.entries.size() < kMaxNoteEntries)
            c.entries.push_back({{"version", e.version}, {"date", e.date}, {"md", e.md}});
    }
    if (!has_own)
        c.error = "las notas no dicen qué trae la v" + version + ": falta su sección «## v" +
                  version + " — <fecha>» con la lista de cambios";
    return c;
}

} // namespace kelvora::publish
