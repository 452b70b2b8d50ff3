// Stop requests on POSIX: SIGINT and SIGTERM blocked in every thread and taken by sigwait.
#include "StopRequest.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

namespace kestrun {

bool WatchStopRequests(std::function<void(int signal)> onStop) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) {
        return false;
    }
    try {
        std::thread([set, onStop = std::move(onStop)] {
            int signal = 0;
            while (sigwait(&set, &signal) == 0) {
                onStop(signal);
            }
        }).detach();
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    }
    return true;
}

} // namespace kestrun
