#include "metadata/descriptor_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "files/file_descriptor.hpp"

namespace sorvane {

namespace {

constexpr long kMoveBlockBytes = 1L << 20;

} // namespace

void DescriptorStream::fail(int error) {
    if (error_ == 0) {
        error_ = error;
    }
}

TagLib::ByteVector DescriptorStream::readBlock(unsigned long length) {
    TagLib::ByteVector bytes(static_cast<unsigned int>(length), 0);
    unsigned long done = 0;
    while (done < length) {
        const ssize_t got =
            pread(fd_, bytes.data() + done, length - done, base_ + static_cast<off_t>(position_) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(errno);
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<unsigned long>(got);
    }
    bytes.resize(static_cast<unsigned int>(done));
    position_ += static_cast<long>(done);
    return bytes;
}

void DescriptorStream::writeBlock(const TagLib::ByteVector& data) {
    if (readOnly_) {
        fail(EBADF);
        return;
    }
    if (const int error = writeAllAt(fd_, data.data(), data.size(), base_ + static_cast<off_t>(position_))) {
        fail(error);
        return;
    }
    position_ += static_cast<long>(data.size());
}

void DescriptorStream::moveTail(long from, long to) {
    const long end = length();
    std::vector<char> block(static_cast<std::size_t>(kMoveBlockBytes));
    const long count = end - from;
    // Towards the end, the last block first; towards the start, the first.
    for (long done = 0; done < count && error_ == 0;) {
        const long size = std::min(kMoveBlockBytes, count - done);
        const long offset = to > from ? count - done - size : done;
        seek(from + offset);
        const TagLib::ByteVector bytes = readBlock(static_cast<unsigned long>(size));
        if (static_cast<long>(bytes.size()) != size) {
            fail(error_ != 0 ? error_ : EIO);
            return;
        }
        seek(to + offset);
        writeBlock(bytes);
        done += size;
    }
}

void DescriptorStream::insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace) {
    const auto at = static_cast<long>(start);
    const auto size = static_cast<long>(data.size());
    const auto replaced = static_cast<long>(replace);
    if (size != replaced) {
        const long end = length();
        moveTail(at + replaced, at + size);
        if (size < replaced) {
            truncate(end - (replaced - size));
        }
    }
    seek(at);
    writeBlock(data);
}

void DescriptorStream::removeBlock(unsigned long start, unsigned long length) {
    const long end = this->length();
    moveTail(static_cast<long>(start + length), static_cast<long>(start));
    truncate(end - static_cast<long>(length));
}

void DescriptorStream::seek(long offset, Position p) {
    const long origin = p == Beginning ? 0 : p == Current ? position_ : length();
    position_ = std::max(0L, origin + offset);
}

long DescriptorStream::length() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        fail(errno);
        return 0;
    }
    return static_cast<long>(std::max<off_t>(0, st.st_size - base_));
}

void DescriptorStream::truncate(long length) {
    if (readOnly_) {
        fail(EBADF);
        return;
    }
    if (ftruncate(fd_, base_ + static_cast<off_t>(length)) != 0) {
        fail(errno);
    }
}

} // namespace sorvane
