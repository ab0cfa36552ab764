#include "sorvane-instrument/instrument_folder.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/interrupt_cleanup.hpp"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

std::string reason(int error) { return std::error_code(error, std::generic_category()).message(); }

// Exchanges two paths at once, where the file system can.
bool exchangePaths(const std::string& a, const std::string& b) {
    return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

} // namespace

InstrumentFolder::~InstrumentFolder() {
    if (!committed_) {
        removeStaging();
        if (made_) {
            ::rmdir(folder_.c_str()); // only while still empty
        }
    }
}

void InstrumentFolder::removeStaging() {
    if (staging_.empty()) {
        return;
    }
    const HeldSignals held;
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
    forgetStagingFolder();
    staging_.clear();
}

std::optional<std::string> InstrumentFolder::open(const std::string& folder) {
    std::error_code error;
    fs::path path = fs::absolute(folder, error).lexically_normal();
    if (path.has_parent_path() && path.filename().empty()) {
        path = path.parent_path(); // "strings/" is "strings"
    }
    // A link to a folder: the folder it leads to is the one replaced.
    if (fs::is_symlink(path, error)) {
        path = fs::canonical(path, error);
        if (error) {
            return "cannot follow the link to the instrument's folder: " + error.message() + ".";
        }
    }
    folder_ = path.string();
    // The lock is on the folder itself, so it is made first. A run that got
    // the lock on a folder another run has since replaced tries again.
    for (int attempt = 0;; ++attempt) {
        if (::mkdir(folder_.c_str(), 0777) == 0) {
            made_ = true;
        } else if (errno != EEXIST) {
            return "cannot make the instrument's folder: " + reason(errno) + ".";
        }
        lock_ = FileDescriptor(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!lock_) {
            return errno == ENOTDIR ? std::string("not a folder.")
                                    : "cannot open the instrument's folder: " + reason(errno) + ".";
        }
        if (flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK
                       ? std::string("another sorvane-instrument is building into this folder; try again once it is "
                                     "done. Nothing was written.")
                       : "cannot lock the instrument's folder: " + reason(errno) + ".";
        }
        struct stat locked {};
        struct stat named {};
        if (fstat(lock_.get(), &locked) == 0 && ::stat(folder_.c_str(), &named) == 0 &&
            locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
            break;
        }
        if (attempt == 10) {
            return std::string("the instrument's folder keeps being replaced by another run.");
        }
    }
    const fs::path parent = path.parent_path();
    // The new folder takes the old one's place by a rename, within one file
    // system: a folder that is a mount point has its parent on another.
    struct stat above {};
    struct stat here {};
    if (::stat(parent.c_str(), &above) == 0 && fstat(lock_.get(), &here) == 0 && above.st_dev != here.st_dev) {
        return "the instrument's folder is a mount point, which cannot be replaced whole; give a folder inside it.";
    }
    std::string pattern = (parent / ("." + path.filename().string() + ".sorvane-XXXXXX")).string();
    {
        const HeldSignals held;
        if (mkdtemp(pattern.data()) == nullptr) {
            return "cannot make a staging folder beside the instrument's folder, in " + parent.string() + ": " +
                   reason(errno) + ".";
        }
        staging_ = pattern;
        if (!armStagingFolder(staging_)) {
            return std::string("the instrument's folder has too long a path.");
        }
    }
    if (::mkdir((staging_ + "/samples").c_str(), 0777) != 0) {
        return "cannot make the staging folder's samples/: " + reason(errno) + ".";
    }
    // The new folder is as the old one's owner and permissions had it.
    struct stat old {};
    if (fstat(lock_.get(), &old) == 0) {
        ::chmod(staging_.c_str(), old.st_mode & 07777);
        if (::chown(staging_.c_str(), old.st_uid, old.st_gid) != 0) {
            // Only root may give a folder away; a user's own stays the user's.
        }
    }
    return std::nullopt;
}

std::optional<std::string> InstrumentFolder::commit(const std::set<std::string>& written) {
    // Nothing may stop the swap half-way; a signal that comes meanwhile acts after it.
    const HeldSignals held;
    std::vector<std::pair<std::string, std::string>> moved; // from the old folder into the new
    auto undo = [&] {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
            ::rename(it->second.c_str(), it->first.c_str());
        }
    };
    // What the old folder holds besides the instrument's own files goes along.
    auto carry = [&](const std::string& from, const std::string& to, bool intoSamples) -> std::optional<std::string> {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(from, error)) {
            const std::string name = entry.path().filename().string();
            const std::string relative = intoSamples ? "samples/" + name : name;
            if (written.count(relative) != 0) {
                continue;
            }
            const std::string target = to + "/" + name;
            if (::rename(entry.path().c_str(), target.c_str()) != 0) {
                return "cannot keep " + entry.path().string() + " in the new instrument folder: " + reason(errno) + ".";
            }
            moved.emplace_back(entry.path().string(), target);
        }
        if (error) {
            return "cannot read " + from + ": " + error.message() + ".";
        }
        return std::nullopt;
    };
    std::optional<std::string> failure = carry(folder_, staging_, false);
    std::error_code error;
    if (!failure && fs::is_directory(folder_ + "/samples", error)) {
        failure = carry(folder_ + "/samples", staging_ + "/samples", true);
    }
    if (failure) {
        undo();
        return failure;
    }
    if (!exchangePaths(staging_, folder_)) {
        // Where the file system cannot exchange two names at once: the old
        // folder steps aside, the new one takes its place.
        const int exchangeError = errno;
        std::string aside = staging_ + ".old";
        if (exchangeError != EINVAL && exchangeError != ENOSYS && exchangeError != EOPNOTSUPP) {
            undo();
            return "cannot put the new instrument in place: " + reason(exchangeError) + ".";
        }
        if (::rename(folder_.c_str(), aside.c_str()) != 0) {
            undo();
            return "cannot put the new instrument in place: " + reason(errno) + ".";
        }
        if (::rename(staging_.c_str(), folder_.c_str()) != 0) {
            const int e = errno;
            ::rename(aside.c_str(), folder_.c_str());
            undo();
            return "cannot put the new instrument in place: " + reason(e) + ".";
        }
        ::rename(aside.c_str(), staging_.c_str());
    }
    committed_ = true;
    // The staging path now holds the old instrument's own files.
    fs::remove_all(staging_, error);
    forgetStagingFolder();
    staging_.clear();
    return std::nullopt;
}

} // namespace sorvane
