#pragma once
// The package's bytes are hashed and its program unpacked on a thread of their own while
// the download goes on, straight from the download's buffer, the program into the sink
// when one is given: when the last byte comes, all three are all but done.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "update/package.hpp"
#include "update/signature.hpp"

namespace kelvora::update {

class DownloadPipe {
public:
    DownloadPipe(const ProgramKind& kind, std::uint64_t max_entry, ProgramStream::Sink sink = {});
    // Waits for the thread: the buffer it reads must outlive it.
    ~DownloadPipe();
    DownloadPipe(const DownloadPipe&) = delete;
    DownloadPipe& operator=(const DownloadPipe&) = delete;

    // From the download: every byte so far, at an address that stays until finish().
    void arrived(std::string_view so_far);
    // Once the download is whole: waits for the thread to catch up and gives the bytes'
    // SHA-256; the unpacked program goes to the reading of these bytes only when that is
    // the SHA-256 expected (lower-case hexadecimal), so nothing unchecked is ever kept.
    std::string finish(std::string_view all, const std::string& expected);
    // A download that failed: the thread stops before the buffer goes.
    void abandon() { stop({}); }

private:
    void run();
    void stop(std::string_view all);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string_view seen_;
    std::size_t woken_at_ = 0; // how much had come at the last wake
    bool ended_ = false;
    Sha256 hash_;
    ProgramStream stream_;
    std::thread worker_;
};

} // namespace kelvora::update
