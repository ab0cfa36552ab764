#include "audio_io/descriptor_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace sorvane {

namespace {

// How much is written before the disk is asked to start on it.
constexpr sf_count_t kWritebackBytes = sf_count_t{4} << 20;

} // namespace

DescriptorIo::DescriptorIo(int fd, bool positioned, off_t base) : fd_(fd), positioned_(positioned), base_(base) {
    callbacks_.get_filelen = &DescriptorIo::length;
    callbacks_.seek = &DescriptorIo::seek;
    callbacks_.read = &DescriptorIo::read;
    callbacks_.write = &DescriptorIo::write;
    callbacks_.tell = &DescriptorIo::tell;
}

void DescriptorIo::fail(int error) {
    if (error_ == 0) {
        error_ = error;
    }
}

sf_count_t DescriptorIo::length(void* self) { return static_cast<DescriptorIo*>(self)->end_; }

sf_count_t DescriptorIo::tell(void* self) { return static_cast<DescriptorIo*>(self)->position_; }

sf_count_t DescriptorIo::seek(sf_count_t offset, int whence, void* self) {
    auto& io = *static_cast<DescriptorIo*>(self);
    sf_count_t origin = 0;
    if (whence == SEEK_CUR) {
        origin = io.position_;
    } else if (whence == SEEK_END) {
        origin = io.end_;
    }
    if (offset < 0 && -offset > origin) {
        io.fail(EINVAL);
        return -1;
    }
    io.position_ = origin + offset;
    return io.position_;
}

sf_count_t DescriptorIo::read(void* data, sf_count_t count, void* self) {
    auto& io = *static_cast<DescriptorIo*>(self);
    if (!io.positioned_) {
        return 0;
    }
    auto* bytes = static_cast<char*>(data);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t got = pread(io.fd_, bytes + done, static_cast<std::size_t>(count - done),
                                  io.base_ + static_cast<off_t>(io.position_ + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            io.fail(errno);
        }
        if (got <= 0) {
            break;
        }
        done += got;
    }
    io.position_ += done;
    return done;
}

sf_count_t DescriptorIo::write(const void* data, sf_count_t count, void* self) {
    auto& io = *static_cast<DescriptorIo*>(self);
    // After the first failure the file is lost anyway; refusing at once
    // saves the encoders from filling a disk that is already full.
    if (io.error_ != 0) {
        return 0;
    }
    const auto* bytes = static_cast<const char*>(data);
    sf_count_t done = 0;
    while (done < count) {
        const auto size = static_cast<std::size_t>(count - done);
        const ssize_t put = io.positioned_
                                ? pwrite(io.fd_, bytes + done, size, io.base_ + static_cast<off_t>(io.position_ + done))
                                : ::write(io.fd_, bytes + done, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            io.fail(put < 0 ? errno : EIO);
            break;
        }
        done += put;
    }
    io.position_ += done;
    io.end_ = std::max(io.end_, io.position_);
    if (io.positioned_ && io.end_ - io.flushed_ >= kWritebackBytes) {
        // Only a start: the disk writes what is done while the rest is
        // built, so the sync before the file takes its place waits for the
        // tail alone. Its errors come back at that sync.
        sync_file_range(io.fd_, io.base_ + static_cast<off_t>(io.flushed_), static_cast<off_t>(io.end_ - io.flushed_),
                        SYNC_FILE_RANGE_WRITE);
        io.flushed_ = io.end_;
    }
    return done;
}

} // namespace sorvane
