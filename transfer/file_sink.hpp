#pragma once
// Received files, written to the downloads folder as their pieces arrive. Each transfer
// is a ".part" file under a name that was free when it began; it is renamed to that name
// (or the next free "name (n).ext") once every announced byte is on disk, and removed on
// a cancel, any error, a long silence and at exit. Nothing of a file is held in memory
// beyond the one piece being written.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_file.hpp"
#include "base/log.hpp"

namespace kelvora::transfer {

// The largest file a session may send.
inline constexpr std::uint64_t kFileMax = 2'000'000'000;
// Transfers open at once: one incoming file per session, eight sessions.
inline constexpr std::size_t kMaxOpen = 8;
// The largest piece one write may carry; with one write at a time per transfer, the sink
// holds at most kMaxOpen pieces.
inline constexpr std::size_t kPieceMax = 2 * 1024 * 1024;
// A transfer nobody wrote to, finished or cancelled for this long was left behind by a
// page that went away; it is removed at the next call.
inline constexpr std::chrono::seconds kIdleLimit{120};

class FileSink {
public:
    using Folder = std::function<std::optional<std::filesystem::path>()>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    FileSink(Folder downloads, const Log& log, Clock now = std::chrono::steady_clock::now);
    ~FileSink();
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // POST /api/archivos/abrir {nombre, tamano}: {ok, id, nombre} or a refusal.
    json open(const json& body);
    // POST /api/archivos/escribir?id=…&desde=…: the piece that starts at byte `from`.
    json write(std::string_view id, std::optional<std::uint64_t> from, std::string_view piece);
    // POST /api/archivos/terminar {id}: {ok, nombre, ruta, carpeta} once the file is whole.
    json finish(const json& body);
    // POST /api/archivos/cancelar {id}: the partial file is removed.
    json cancel(const json& body);
    // POST /api/archivos/carpeta: the downloads folder opens in the file manager.
    json show_folder();
    // At exit: every partial file is removed.
    void abandon_all();

private:
    struct Transfer;
    using TransferPtr = std::shared_ptr<Transfer>;

    // Under the lock: transfers left idle too long are dropped.
    void sweep_idle();
    // Under the lock: the transfer leaves the table; its file is closed and removed now, or
    // by the write still running on it.
    void drop(const std::string& id, const char* why);
    static void discard(Transfer& t);
    json failure(const std::string& id, const std::string& msg);

    Folder downloads_;
    const Log& log_;
    Clock now_;
    std::mutex mutex_;
    std::map<std::string, TransferPtr, std::less<>> open_;
};

} // namespace kelvora::transfer
