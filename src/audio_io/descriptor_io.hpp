#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <sndfile.h>

namespace sorvane {

// libsndfile's file access routed through a descriptor of ours, so that
// every failed or short write is seen: libsndfile reports some of them only
// through sf_error, which nobody can ask once sf_close has run, and its MP3
// and Ogg encoders drop them altogether, including the last pages that go out
// while the file is closed.
//
// On a positioned descriptor the bytes are gathered and, once there are
// enough of them, written by a thread of their own while the encoder goes on
// with the next ones, so that the kernel's copy into the file overlaps the
// encoding. A failure is then seen a little later: `finish()` waits for every
// byte and must come before `error()` is trusted.
class DescriptorIo {
public:
    // `positioned`: the descriptor can be written at any offset (a regular
    // file or a block device); offsets then count from `base`, where the
    // file starts. Otherwise (a character device) bytes go out in the order
    // they are written and seeks only move the position libsndfile sees.
    // `startWriteback`: the file will be synced once complete, so the disk
    // is set to work on what is written as it goes.
    DescriptorIo(int fd, bool positioned, off_t base, bool startWriteback);
    DescriptorIo(const DescriptorIo&) = delete;
    DescriptorIo& operator=(const DescriptorIo&) = delete;
    ~DescriptorIo();

    SF_VIRTUAL_IO* callbacks() { return &callbacks_; }
    // Writes out whatever is still gathered or on its way.
    void finish();
    // 0, or the errno of the first failed read, write or seek.
    int error() const { return error_.load(); }

private:
    static sf_count_t length(void* self);
    static sf_count_t seek(sf_count_t offset, int whence, void* self);
    static sf_count_t read(void* data, sf_count_t count, void* self);
    static sf_count_t write(const void* data, sf_count_t count, void* self);
    static sf_count_t tell(void* self);

    void fail(int error);
    void gather(const char* bytes, sf_count_t count);
    void handOff();
    void sendGathered();
    void writeOut(const std::vector<char>& bytes, sf_count_t at);
    void work();

    SF_VIRTUAL_IO callbacks_{};
    int fd_;
    bool positioned_;
    bool startWriteback_;
    off_t base_;
    sf_count_t position_ = 0;
    sf_count_t end_ = 0;
    std::atomic<int> error_{0};

    std::vector<char> gathered_; // bytes for [gatheredAt_, gatheredAt_ + size)
    sf_count_t gatheredAt_ = 0;
    sf_count_t flushed_ = 0; // where the disk was last asked to start writing (writer's own)

    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char> inFlight_; // guarded by mutex_ while busy_
    sf_count_t inFlightAt_ = 0;
    bool busy_ = false;
    bool stopping_ = false;
};

} // namespace sorvane
