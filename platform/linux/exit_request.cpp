#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "platform/process.hpp"

namespace kelvora::platform {

// The signals are blocked in every thread (threads inherit the mask of the one that
// starts them) and taken by one thread with sigwait, where the orderly exit may lock,
// log and talk to X as any other thread does; a signal handler could do none of that.
void on_exit_request(std::function<void()> handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A peer that closes its end early must not end us through a write to it.
    signal(SIGPIPE, SIG_IGN);
    std::thread([set, handler = std::move(handler)] {
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        handler();
    }).detach();
}

} // namespace kelvora::platform
