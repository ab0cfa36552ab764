#pragma once

#include <optional>
#include <set>
#include <string>

#include "files/file_descriptor.hpp"

namespace sorvane {

// The folder an instrument is built in: a private staging folder beside the
// instrument's folder, which takes its place whole once everything is
// written, under a lock on that folder. An interrupted or failed run leaves
// the old instrument exactly as it was; a second run into the same folder
// meanwhile is refused.
class InstrumentFolder {
public:
    InstrumentFolder() = default;
    ~InstrumentFolder();
    InstrumentFolder(const InstrumentFolder&) = delete;
    InstrumentFolder& operator=(const InstrumentFolder&) = delete;

    // Locks `folder` (made if missing) and makes the staging folder with its
    // samples/ folder. Nothing, or why it cannot (in a sentence of its own).
    std::optional<std::string> open(const std::string& folder);

    // Where the new instrument's files are written.
    const std::string& staging() const { return staging_; }

    // Puts the staging folder in the instrument folder's place. What the old
    // folder holds besides the instrument's own files (`written`, relative
    // to the folder, samples/ among them) stays in it, and so do samples the
    // new instrument does not replace. Nothing, or why it failed, in which
    // case the old folder is as it was.
    std::optional<std::string> commit(const std::set<std::string>& written);

private:
    void removeStaging();

    std::string folder_;
    std::string staging_;
    FileDescriptor lock_;
    bool made_ = false;
    bool committed_ = false;
};

} // namespace sorvane
