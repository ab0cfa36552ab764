#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "files/file_descriptor.hpp"

namespace sorvane {

// Which file a path named when it was opened, however it was spelled or linked.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

FileIdentity identityOf(const struct stat& st);

// A file without a name in $TMPDIR (else /tmp), gone with the run however it
// ends, for what must be held on disk for a while; `folder` says where.
// Nothing (with errno set) when none can be made.
FileDescriptor scratchFile(std::string& folder);
bool operator==(const FileIdentity& a, const FileIdentity& b);

// The place a loop is written to. A regular file, existing or new, is
// written as a temporary file beside it that takes its place only once it
// is complete, so that no failure or signal leaves a fragment behind or
// destroys what was there, the input above all. An existing file in a
// folder that takes no new file is written to a temporary file elsewhere
// and copied over the old one only once it is complete and room for it is
// reserved. A device, a pipe or standard output ("-") is written directly.
class OutputTarget {
public:
    OutputTarget() = default;
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // Returns nothing, or why `path` cannot be written, in libsndfile's
    // words. `input` is the file the loop was read from.
    std::optional<std::string> open(const std::string& path, const std::optional<FileIdentity>& input);

    int fd() const { return fd_.get(); }
    // libsndfile must treat a pipe or socket as one: it cannot seek back.
    bool isPipe() const { return kind_ == Kind::Pipe; }
    // Whether bytes can be written at any offset, counted from base().
    bool positioned() const { return kind_ != Kind::Device && kind_ != Kind::Pipe; }
    // Whether the complete file can be read back and amended: positioned,
    // and open for reading too (a standard output the shell opened with >
    // is open for writing alone).
    bool amendable() const;
    // Whether an existing file's contents are at stake: only then is the new
    // one synced to disk before it takes the old one's place.
    bool replacesExisting() const { return kind_ == Kind::Replacement && replaced_.has_value(); }
    off_t base() const { return base_; }

    // Once every byte is written: for a replacement, gives the file the
    // permissions and owner of the file it replaces, makes it durable and
    // puts it in that file's place. Returns nothing, or why this failed.
    std::optional<std::string> commit();

private:
    enum class Kind { Replacement, CopyInto, Seekable, Device, Pipe };

    std::optional<std::string> openReplacement(const std::string& target, const std::optional<struct stat>& existing,
                                               int& error);
    std::optional<std::string> openDirect(const std::string& path);
    std::optional<std::string> openCopyInto(FileDescriptor existing, const struct stat& st);
    void adopt(FileDescriptor fd, const struct stat& st);
    std::optional<std::string> commitReplacement();
    std::optional<std::string> commitCopyInto();

    FileDescriptor fd_;
    Kind kind_ = Kind::Device;
    off_t base_ = 0;
    std::string temporary_; // set while an uncommitted replacement exists
    std::string target_;
    std::string directory_;
    std::optional<struct stat> replaced_;
    FileDescriptor into_; // the existing file a CopyInto target is copied over
};

} // namespace sorvane
