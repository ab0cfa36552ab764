#include "audio_io/output_target.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include "audio_io/interrupt_cleanup.hpp"

namespace sorvane {

namespace {

// Long names are shortened in the temporary file's name, which must still
// fit in the directory's limit with its prefix and suffix.
constexpr std::size_t kTemporaryNameBytes = 100;

// The file a path finally names, symbolic links followed, so that replacing
// it replaces the file and not a link to it.
std::string resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

// The folder a file is in, as a path to open.
std::string directoryOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// The mode libsndfile gives a file it creates, as the umask leaves it.
mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

// A directory's sync makes a rename durable; file systems that cannot sync a
// directory say so with EINVAL, and there is nothing more to do.
int syncDirectory(const std::string& directory) {
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return errno;
    }
    if (fsync(fd.get()) != 0 && errno != EINVAL) {
        return errno;
    }
    return fd.close();
}

} // namespace

FileIdentity identityOf(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

bool operator==(const FileIdentity& a, const FileIdentity& b) { return a.device == b.device && a.inode == b.inode; }

OutputTarget::~OutputTarget() {
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        forgetTemporaryFile(temporary_);
    }
}

std::optional<std::string> OutputTarget::open(const std::string& path, const std::optional<FileIdentity>& input) {
    if (path == "-") {
        // libsndfile's name for standard output.
        FileDescriptor out(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        struct stat st {};
        if (!out || fstat(out.get(), &st) != 0) {
            return systemErrorText(errno);
        }
        adopt(std::move(out), st);
        if (kind_ == Kind::Seekable && (fcntl(fd_.get(), F_GETFL) & O_APPEND) != 0) {
            // Every write lands at the end: the header, written again once
            // the length is known, would play as audio after the loop.
            return std::string("standard output is open for appending (>>), where a loop cannot be written; "
                               "use > or name the output file");
        }
        if (kind_ == Kind::Seekable) {
            // Whatever the shell put before us stays; the file starts here.
            base_ = std::max<off_t>(0, lseek(fd_.get(), 0, SEEK_CUR));
        }
        return std::nullopt;
    }

    struct stat link {};
    if (lstat(path.c_str(), &link) != 0) {
        if (errno != ENOENT) {
            return systemErrorText(errno);
        }
        int ignored = 0;
        return openReplacement(path, std::nullopt, ignored);
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device, a pipe, or a link to nowhere (created where it points).
        return openDirect(path);
    }

    const std::string target = resolvedPath(path);
    // A file we may not write is not replaced either.
    FileDescriptor writable(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!writable) {
        return systemErrorText(errno);
    }
    int error = 0;
    std::optional<std::string> failure = openReplacement(target, st, error);
    const bool isInput = input && *input == identityOf(st);
    if (failure && !isInput && (error == EACCES || error == EPERM)) {
        // No temporary file can be made beside a file in a folder we may not
        // write: the new file is made elsewhere and copied over the old one
        // once complete.
        directory_ = directoryOf(target);
        return openCopyInto(std::move(writable), st);
    }
    return failure;
}

std::optional<std::string> OutputTarget::openReplacement(const std::string& target,
                                                         const std::optional<struct stat>& existing, int& error) {
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = directory + "." + name.substr(0, kTemporaryNameBytes) + ".sorvane-XXXXXX";
    FileDescriptor fd(createTemporaryFile(pattern));
    if (!fd) {
        error = errno;
        return systemErrorText(error);
    }
    fd_ = std::move(fd);
    kind_ = Kind::Replacement;
    temporary_ = pattern;
    target_ = target;
    directory_ = directoryOf(target);
    replaced_ = existing;
    return std::nullopt;
}

FileDescriptor scratchFile(std::string& folder) {
    const char* chosen = std::getenv("TMPDIR");
    folder = chosen != nullptr && *chosen != '\0' ? chosen : "/tmp";
    // An unnamed file, gone with the run however it ends; where the file
    // system has none, a named one that is unlinked at once.
    FileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd && (errno == EOPNOTSUPP || errno == EISDIR)) {
        std::string pattern = folder + "/.sorvane-XXXXXX";
        fd = FileDescriptor(createTemporaryFile(pattern));
        if (fd) {
            unlink(pattern.c_str());
            forgetTemporaryFile(pattern);
        }
    }
    return fd;
}

std::optional<std::string> OutputTarget::openCopyInto(FileDescriptor existing, const struct stat& st) {
    std::string scratch;
    FileDescriptor fd = scratchFile(scratch);
    if (!fd) {
        return systemErrorText(errno) + " (making a scratch file in " + scratch + ", as " + directory_ +
               " takes no new file)";
    }
    fd_ = std::move(fd);
    into_ = std::move(existing);
    kind_ = Kind::CopyInto;
    replaced_ = st;
    return std::nullopt;
}

std::optional<std::string> OutputTarget::openDirect(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        return systemErrorText(errno);
    }
    adopt(std::move(fd), st);
    return std::nullopt;
}

bool OutputTarget::amendable() const {
    return positioned() && (fcntl(fd_.get(), F_GETFL) & O_ACCMODE) == O_RDWR;
}

void OutputTarget::adopt(FileDescriptor fd, const struct stat& st) {
    fd_ = std::move(fd);
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        kind_ = Kind::Pipe;
    } else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        kind_ = Kind::Seekable;
    } else {
        kind_ = Kind::Device;
    }
}

std::optional<std::string> OutputTarget::commit() {
    switch (kind_) {
    case Kind::Replacement:
        return commitReplacement();
    case Kind::CopyInto:
        return commitCopyInto();
    case Kind::Seekable:
        break;
    case Kind::Pipe: {
        // With SIGPIPE ignored, a reader that went away before the end shows
        // only here: libsndfile drops the errors of the writes it makes
        // while closing.
        pollfd state{fd_.get(), POLLOUT, 0};
        if (poll(&state, 1, 0) == 1 && (state.revents & POLLERR) != 0) {
            return systemErrorText(EPIPE);
        }
        break;
    }
    case Kind::Device:
        break;
    }
    if (const int error = fd_.close()) {
        return systemErrorText(error);
    }
    return std::nullopt;
}

std::optional<std::string> OutputTarget::commitReplacement() {
    mode_t mode = newFileMode();
    if (replaced_) {
        // The owner can be kept only by root; the group by its members too.
        // Set-id bits are kept only with the owner they belong to.
        // Where neither can be set, the file stays ours, as any new file would.
        const bool ownerKept = fchown(fd_.get(), replaced_->st_uid, replaced_->st_gid) == 0;
        const bool groupKept = ownerKept || fchown(fd_.get(), static_cast<uid_t>(-1), replaced_->st_gid) == 0;
        static_cast<void>(groupKept);
        mode = replaced_->st_mode & (ownerKept ? 07777 : 0777);
    }
    if (fchmod(fd_.get(), mode) != 0) {
        return systemErrorText(errno);
    }
    // A new file has nothing to lose if the machine stops before it reaches
    // the disk; an old one is given up only once the new one is there.
    if (replaced_ && fsync(fd_.get()) != 0) {
        return systemErrorText(errno);
    }
    if (const int error = fd_.close()) {
        return systemErrorText(error);
    }
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        return systemErrorText(errno);
    }
    forgetTemporaryFile(temporary_);
    temporary_.clear();
    if (replaced_) {
        if (const int error = syncDirectory(directory_)) {
            return systemErrorText(error);
        }
    }
    return std::nullopt;
}

std::optional<std::string> OutputTarget::commitCopyInto() {
    struct stat made {};
    if (fstat(fd_.get(), &made) != 0) {
        return systemErrorText(errno);
    }
    // Everything that could stop the copy half-way is ruled out before the
    // first old byte is overwritten: a size limit, and a disk without room.
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(made.st_size) > limit.rlim_cur) {
        return systemErrorText(EFBIG);
    }
    if (made.st_size > replaced_->st_size &&
        fallocate(into_.get(), FALLOC_FL_KEEP_SIZE, 0, made.st_size) != 0) {
        if (errno == EOPNOTSUPP) {
            return "cannot make a new file in " + directory_ + " (" + std::strerror(EACCES) +
                   "), nor reserve room to overwrite the old one safely; it is left as it was";
        }
        return systemErrorText(errno);
    }
    const HeldSignals held;
    std::vector<char> block(std::size_t{1} << 20);
    for (off_t at = 0; at < made.st_size;) {
        const ssize_t got = pread(fd_.get(), block.data(), block.size(), at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return systemErrorText(got < 0 ? errno : EIO);
        }
        if (const int error = writeAllAt(into_.get(), block.data(), static_cast<std::size_t>(got), at)) {
            return systemErrorText(error);
        }
        at += got;
    }
    if (ftruncate(into_.get(), made.st_size) != 0 || fsync(into_.get()) != 0) {
        return systemErrorText(errno);
    }
    if (const int error = into_.close()) {
        return systemErrorText(error);
    }
    fd_.close();
    return std::nullopt;
}

} // namespace sorvane
