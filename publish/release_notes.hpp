#pragma once
// The release notes as the update screen lists them: one entry per version heading of the
// notes file ("## v1.3.2 — 2026-11-04" followed by its Markdown).
#include <string>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora::publish {

// The page shows this many entries at most.
inline constexpr std::size_t kMaxNoteEntries = 40;

struct Changes {
    json entries = json::array(); // [{"date","md","version"}], newest first
    std::string error;
};

// The entries of notes for version and the versions before it, in the file's order; the
// notes must have a non-empty entry for version itself.
Changes changes_up_to(std::string_view notes, const std::string& version);

} // namespace kelvora::publish
