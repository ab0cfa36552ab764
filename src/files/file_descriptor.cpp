#include "files/file_descriptor.hpp"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace sorvane {

FileDescriptor::~FileDescriptor() { close(); }

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int FileDescriptor::close() {
    if (fd_ < 0) {
        return 0;
    }
    // Linux releases the descriptor even when close fails or is
    // interrupted, so it is never retried.
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
}

namespace {

// Writes all `size` bytes, at `offset` when one is given.
int writeEvery(int fd, const void* data, std::size_t size, const off_t* offset) {
    const auto* bytes = static_cast<const char*>(data);
    off_t at = offset != nullptr ? *offset : 0;
    while (size > 0) {
        const ssize_t written = offset != nullptr ? ::pwrite(fd, bytes, size, at) : ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        bytes += written;
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace

int writeAll(int fd, const void* data, std::size_t size) { return writeEvery(fd, data, size, nullptr); }

int writeAllAt(int fd, const void* data, std::size_t size, off_t offset) {
    return writeEvery(fd, data, size, &offset);
}

std::string systemErrorText(int error) { return std::string("System error : ") + std::strerror(error) + "."; }

} // namespace sorvane
