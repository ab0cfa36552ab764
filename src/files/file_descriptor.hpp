#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace sorvane {

// A file descriptor of our own, closed on every path out of its scope. Call
// close() where the result matters: on some file systems a close is the
// first to report that written data never reached the file.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now. Returns 0, or the errno of a failed close.
    int close();
    // Gives the descriptor up to a new owner.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// Writes all `size` bytes, going on after interrupted and partial writes.
// Returns 0, or the errno of the write that failed.
int writeAll(int fd, const void* data, std::size_t size);
// The same at `offset`, leaving the descriptor's position alone.
int writeAllAt(int fd, const void* data, std::size_t size, off_t offset);

// A system error in the words libsndfile uses for its own ("System error :
// No space left on device."), so that both read alike in our messages.
std::string systemErrorText(int error);

} // namespace sorvane
