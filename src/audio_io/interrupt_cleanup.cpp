#include "audio_io/interrupt_cleanup.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace sorvane {

namespace {

// A signal handler can reach nothing but static storage, and may only call
// async-signal-safe functions: the path is kept in a fixed array, and it is
// armed only once it is complete.
char temporaryPath[PATH_MAX];
volatile std::sig_atomic_t temporaryArmed = 0;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaryAndEnd(int signal) {
    if (temporaryArmed != 0) {
        unlink(temporaryPath);
    }
    // The signal is blocked while its handler runs; once the handler
    // returns it is delivered again, now with its default action.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(signal, &defaults, nullptr);
    raise(signal);
}

sigset_t cleanupSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kCleanupSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

} // namespace

void installSignalHandling() {
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction handler {};
    handler.sa_handler = &removeTemporaryAndEnd;
    handler.sa_mask = cleanupSignals();
    for (const int signal : kCleanupSignals) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal, &handler, nullptr);
        }
    }
}

int createTemporaryFile(std::string& pattern) {
    if (pattern.size() >= sizeof temporaryPath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const sigset_t held = cleanupSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) {
        std::memcpy(temporaryPath, pattern.c_str(), pattern.size() + 1);
        temporaryArmed = 1;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return fd;
}

void forgetTemporaryFile() { temporaryArmed = 0; }

} // namespace sorvane
