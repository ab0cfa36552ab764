#pragma once

#include <sys/types.h>

#include <taglib/tiostream.h>

namespace sorvane {

// TagLib's file access over a descriptor of ours, at offsets from `base`:
// TagLib's own file streams let a failed write pass unnoticed, while here the
// first failure is kept for the caller to see. Moving the rest of a file to
// make room for larger tags goes a block at a time, so that a long file is
// never held.
class DescriptorStream : public TagLib::IOStream {
public:
    enum class Access { ReadOnly, ReadWrite };
    DescriptorStream(int fd, off_t base, Access access = Access::ReadWrite)
        : fd_(fd), base_(base), readOnly_(access == Access::ReadOnly) {}

    // 0, or the errno of the first failed read, write or resize.
    int error() const { return error_; }

    TagLib::FileName name() const override { return "(output)"; }
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, unsigned long start = 0, unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return readOnly_; }
    bool isOpen() const override { return true; }
    void seek(long offset, Position p = Beginning) override;
    long tell() const override { return position_; }
    long length() override;
    void truncate(long length) override;

private:
    // Moves bytes [from, end of file) to start at `to`.
    void moveTail(long from, long to);
    void fail(int error);

    int fd_;
    off_t base_;
    bool readOnly_;
    long position_ = 0;
    int error_ = 0;
};

} // namespace sorvane
