#include "audio_io/interrupt_cleanup.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <cstdint>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sorvane {

namespace {

// A signal handler can reach nothing but static storage, and may only call
// async-signal-safe functions: each path is kept in a fixed array, and armed
// only once it is complete. A run may write several files at once (a note
// and its SFZ, the notes of an instrument on several threads).
constexpr std::size_t kTemporarySlots = 64;
struct TemporarySlot {
    char path[PATH_MAX];
    std::atomic<bool> armed{false};
    bool taken = false; // by a file being written; guarded by slotsMutex
};
TemporarySlot slots[kTemporarySlots];
std::mutex slotsMutex;
static_assert(std::atomic<bool>::is_always_lock_free, "the handler reads the flags");

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

// A folder being built as a whole (an instrument), removed with what it
// holds, one level of folders deep, should a signal end the run.
char stagingPath[PATH_MAX];
std::atomic<bool> stagingArmed{false};

// Removes the entries of the folder open as `dir`, and of its folders below
// `depth` more levels, through the system calls alone: opendir and readdir
// may allocate, which a handler must not.
void removeEntriesAt(int dir, int depth) {
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        for (long at = 0; at < got;) {
            struct Entry {
                std::uint64_t inode;
                std::int64_t offset;
                unsigned short length;
                unsigned char type;
                char name[1];
            };
            const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
            at += entry->length;
            const char* name = entry->name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
                continue;
            }
            if (unlinkat(dir, name, 0) == 0 || depth == 0) {
                continue;
            }
            const int inner = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner >= 0) {
                removeEntriesAt(inner, depth - 1);
                close(inner);
                unlinkat(dir, name, AT_REMOVEDIR);
            }
        }
    }
}

extern "C" void removeTemporaryAndEnd(int signal) {
    for (TemporarySlot& slot : slots) {
        if (slot.armed.load(std::memory_order_acquire)) {
            unlink(slot.path);
        }
    }
    if (stagingArmed.load(std::memory_order_acquire)) {
        // Other threads may still add files: a few passes.
        for (int pass = 0; pass < 3 && rmdir(stagingPath) != 0; ++pass) {
            const int dir = open(stagingPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (dir < 0) {
                break;
            }
            removeEntriesAt(dir, 1);
            close(dir);
        }
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
    if (pattern.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const std::lock_guard<std::mutex> lock(slotsMutex);
    TemporarySlot* slot = std::find_if(std::begin(slots), std::end(slots), [](const TemporarySlot& s) { return !s.taken; });
    if (slot == std::end(slots)) {
        errno = EMFILE;
        return -1;
    }
    const HeldSignals held;
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        std::memcpy(slot->path, pattern.c_str(), pattern.size() + 1);
        slot->taken = true;
        slot->armed.store(true, std::memory_order_release);
    }
    return fd;
}

void forgetTemporaryFile(const std::string& path) {
    const std::lock_guard<std::mutex> lock(slotsMutex);
    for (TemporarySlot& slot : slots) {
        if (slot.taken && path == slot.path) {
            slot.armed.store(false, std::memory_order_release);
            slot.taken = false;
            return;
        }
    }
}

bool armStagingFolder(const std::string& path) {
    if (path.size() >= PATH_MAX) {
        return false;
    }
    const HeldSignals held;
    std::memcpy(stagingPath, path.c_str(), path.size() + 1);
    stagingArmed.store(true, std::memory_order_release);
    return true;
}

void forgetStagingFolder() { stagingArmed.store(false, std::memory_order_release); }

HeldSignals::HeldSignals() {
    const sigset_t held = cleanupSignals();
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

HeldSignals::~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

} // namespace sorvane
