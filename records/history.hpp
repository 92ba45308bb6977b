#pragma once
// sesiones.jsonl: one line per finished session, appended and never rewritten.
#include <filesystem>
#include <mutex>
#include <string>

#include "base/json_file.hpp"
#include "records/registry.hpp"

namespace kelvora::records {

inline constexpr const char* kHistoryFile = "sesiones.jsonl";
inline constexpr std::size_t kHistoryShown = 60;

// The history object of a session that ended at the local time stamp fecha.
json history_line(const EndedSession& e, const std::string& fecha);

class HistoryFile {
public:
    explicit HistoryFile(std::filesystem::path dir);

    // Adds one line; false when the file couldn't be written.
    bool append(const json& line);
    // The newest lines that parse, newest first, at most max of them.
    json newest(std::size_t max = kHistoryShown) const;

private:
    std::filesystem::path file_;
    mutable std::mutex mutex_; // one append at a time, and no read of half an append
};

} // namespace kelvora::records
