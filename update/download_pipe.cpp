#include "update/download_pipe.hpp"

namespace kelvora::update {

DownloadPipe::DownloadPipe(const ProgramKind& kind, std::uint64_t max_entry,
                           ProgramStream::Sink sink)
    : stream_(kind, max_entry, std::move(sink)), worker_([this] { run(); }) {}

DownloadPipe::~DownloadPipe() {
    stop({});
}

namespace {

// The download comes a TLS record (16 KB) at a time: a wake for each would cost more than the
// work, and the worker is woken only once this much more has come.
constexpr std::size_t kWakeStep = 512 * 1024;

} // namespace

void DownloadPipe::arrived(std::string_view so_far) {
    {
        std::lock_guard lock(mutex_);
        seen_ = so_far;
        if (seen_.size() < woken_at_ + kWakeStep) return;
        woken_at_ = seen_.size();
    }
    wake_.notify_one();
}

void DownloadPipe::stop(std::string_view all) {
    {
        std::lock_guard lock(mutex_);
        if (!all.empty()) seen_ = all;
        ended_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

std::string DownloadPipe::finish(std::string_view all, const std::string& expected) {
    stop(all);
    std::string hex = hash_.hex();
    if (hex == expected) stream_.keep_for(all);
    return hex;
}

void DownloadPipe::run() {
    std::size_t done = 0;
    for (;;) {
        std::string_view view;
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return ended_ || seen_.size() >= done + kWakeStep; });
            view = seen_;
            last = ended_;
        }
        if (view.size() > done) {
            hash_.update(view.substr(done));
            stream_.advance(view);
            done = view.size();
        }
        if (last) return;
    }
}

} // namespace kelvora::update
