#include "audio_io/descriptor_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "files/file_descriptor.hpp"
#include "audio_io/interrupt_cleanup.hpp"

namespace sorvane {

namespace {

// How much is written before the disk is asked to start on it.
constexpr sf_count_t kWritebackBytes = sf_count_t{4} << 20;

// How much is gathered before it goes to the writing thread: enough that a
// hand-over costs nothing beside the copy, little enough to stay in cache. A
// file smaller than this is written without a thread at all.
constexpr std::size_t kHandOffBytes = std::size_t{256} << 10;

} // namespace

DescriptorIo::DescriptorIo(int fd, bool positioned, off_t base, bool startWriteback)
    : fd_(fd), positioned_(positioned), startWriteback_(startWriteback), base_(base) {
    callbacks_.get_filelen = &DescriptorIo::length;
    callbacks_.seek = &DescriptorIo::seek;
    callbacks_.read = &DescriptorIo::read;
    callbacks_.write = &DescriptorIo::write;
    callbacks_.tell = &DescriptorIo::tell;
}

DescriptorIo::~DescriptorIo() {
    if (writer_.joinable()) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !busy_; });
            stopping_ = true;
        }
        changed_.notify_all();
        writer_.join();
    }
}

void DescriptorIo::fail(int error) {
    int none = 0;
    error_.compare_exchange_strong(none, error);
}

void DescriptorIo::writeOut(const std::vector<char>& bytes, sf_count_t at) {
    if (error_.load() != 0) {
        return; // the file is lost anyway
    }
    if (const int error = writeAllAt(fd_, bytes.data(), bytes.size(), base_ + static_cast<off_t>(at))) {
        fail(error);
        return;
    }
    const sf_count_t reached = at + static_cast<sf_count_t>(bytes.size());
    if (startWriteback_ && reached - flushed_ >= kWritebackBytes) {
        // Only a start: the disk writes what is done while the rest is
        // built, so the sync before the file takes its place waits for the
        // tail alone. Its errors come back at that sync.
        sync_file_range(fd_, base_ + static_cast<off_t>(flushed_), static_cast<off_t>(reached - flushed_),
                        SYNC_FILE_RANGE_WRITE);
        flushed_ = reached;
    }
}

void DescriptorIo::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stopping_; });
        if (!busy_) {
            return;
        }
        lock.unlock();
        writeOut(inFlight_, inFlightAt_);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

// Gives the gathered bytes to the writing thread, once it has done with the
// ones before, so that they reach the file in the order they were written.
void DescriptorIo::handOff() {
    if (!writer_.joinable()) {
        try {
            const HeldSignals forTheMainThreadOnly; // the new thread inherits them held
            writer_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            sendGathered(); // no thread to be had: the bytes go out here, still in order
            return;
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        inFlight_.swap(gathered_);
        inFlightAt_ = gatheredAt_;
        busy_ = true;
    }
    changed_.notify_all();
    gathered_.clear();
}

// Sends the gathered bytes on: to the writing thread once there is one
// (behind what it already has), else straight to the file.
void DescriptorIo::sendGathered() {
    if (writer_.joinable()) {
        handOff();
        return;
    }
    writeOut(gathered_, gatheredAt_);
    gathered_.clear();
}

void DescriptorIo::finish() {
    if (!gathered_.empty()) {
        sendGathered();
    }
    if (writer_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }
}

void DescriptorIo::gather(const char* bytes, sf_count_t count) {
    if (!gathered_.empty() && gatheredAt_ + static_cast<sf_count_t>(gathered_.size()) != position_) {
        sendGathered(); // a jump, such as the header written again at the end
    }
    if (gathered_.empty()) {
        gatheredAt_ = position_;
    }
    gathered_.insert(gathered_.end(), bytes, bytes + count);
    if (gathered_.size() >= kHandOffBytes) {
        handOff();
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
    io.finish(); // what is read back must be what was written
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
    if (io.error_.load() != 0) {
        return 0;
    }
    const auto* bytes = static_cast<const char*>(data);
    if (io.positioned_) {
        try {
            io.gather(bytes, count);
        } catch (const std::bad_alloc&) {
            io.fail(ENOMEM); // nothing may be thrown through libsndfile
            return 0;
        }
        io.position_ += count;
        io.end_ = std::max(io.end_, io.position_);
        return count;
    }
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(io.fd_, bytes + done, static_cast<std::size_t>(count - done));
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
    return done;
}

} // namespace sorvane
