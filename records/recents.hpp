#pragma once
// recientes.json: the PCs this one contacted lately, newest first.
#include <filesystem>
#include <mutex>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora::records {

inline constexpr const char* kRecentsFile = "recientes.json";
inline constexpr std::size_t kMaxRecents = 12;

class RecentList {
public:
    explicit RecentList(std::filesystem::path dir);

    // The list in the file; empty when the file is missing or holds no array.
    json list() const;
    // Puts the PC first (once) with its name and the time now; an id without exactly
    // nine digits changes nothing. Returns the list.
    json add(std::string_view id, std::string_view name);
    // Drops every entry whose id is exactly id. Returns the list.
    json remove(std::string_view id);

private:
    json read() const;

    std::filesystem::path dir_;
    // Each change reads, edits and rewrites the whole file; one at a time, so that
    // overlapping changes never drop each other's entries.
    mutable std::mutex mutex_;
};

} // namespace kelvora::records
