#include "audio_io/file_descriptor.hpp"

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

int writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
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
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

std::string systemErrorText(int error) { return std::string("System error : ") + std::strerror(error) + "."; }

} // namespace sorvane
