#include "audio_io/interrupt_cleanup.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace sorvane {

namespace {

// A signal handler can reach nothing but static storage, and may only call
// async-signal-safe functions: the path is kept in a fixed array, and it is
// armed only once it is complete.
char temporaryPath[PATH_MAX];
volatile std::sig_atomic_t temporaryArmed = 0;

// Every signal whose default action ends the process and that a handler may
// catch: the terminal's and kill's, timers', the user signals, resource
// limits, the real-time signals, and the faults, so that even a crash inside
// an encoder leaves no temporary file behind. SIGXFSZ is not among them: it
// is ignored, and the write that passed the limit fails instead.
bool endsTheProcess(int signal) {
    switch (signal) {
    case SIGKILL: case SIGSTOP: // cannot be caught
    case SIGCHLD: case SIGCONT: case SIGTSTP: case SIGTTIN: case SIGTTOU: case SIGURG: case SIGWINCH:
    case SIGXFSZ:
        return false;
    default:
        return true;
    }
}

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
    for (int signal = 1; signal < NSIG; ++signal) {
        // Numbers that are no signal (the gap before SIGRTMIN) fail here and stay out.
        if (endsTheProcess(signal)) {
            sigaddset(&set, signal);
        }
    }
    return set;
}

} // namespace

void installSignalHandling() {
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction handler {};
    handler.sa_handler = &removeTemporaryAndEnd;
    handler.sa_mask = cleanupSignals();
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction previous {};
        if (sigismember(&handler.sa_mask, signal) == 1 && sigaction(signal, nullptr, &previous) == 0 &&
            previous.sa_handler == SIG_DFL) {
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

HeldSignals::HeldSignals() {
    const sigset_t held = cleanupSignals();
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

HeldSignals::~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

} // namespace sorvane
