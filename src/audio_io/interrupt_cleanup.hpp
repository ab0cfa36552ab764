#pragma once

#include <string>

#include <csignal>

namespace sorvane {

// Sets up the process for writing files safely: SIGXFSZ is ignored, so a
// file-size limit fails the write with "File too large" (which is reported)
// instead of killing the run without a word; every other signal whose
// default ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, the user and
// timer signals, a crash) first removes the temporary file being written, if
// any, and then ends the process as the signal asks. A signal that was
// ignored or handled when the process started (as under nohup) is left so.
void installSignalHandling();

// mkstemp with the signals above held back until the new file is known to
// the handler, so that no signal can leave it behind. Returns the descriptor
// (close-on-exec), or -1 with errno set.
int createTemporaryFile(std::string& pattern);

// Tells the handler that the temporary file `path` was renamed or removed.
void forgetTemporaryFile(const std::string& path);

// Tells the handler that the folder at `path` is being built as a whole and
// is to be removed, with the files and folders it holds, should a signal end
// the run; one at a time. False when the path is too long to keep.
bool armStagingFolder(const std::string& path);
void forgetStagingFolder();

// Holds back the signals above in the calling thread while it lives: a
// stretch that must not stop half-way (an old file being overwritten) runs
// to its end, and a signal that came meanwhile acts after it. A thread
// started meanwhile never takes these signals: they go to the main thread,
// where they can be held back.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t previous_;
};

} // namespace sorvane
