#pragma once

#include <memory>

#include <sndfile.h>

namespace sorvane {

struct SndFileCloser {
    void operator()(SNDFILE* handle) const { sf_close(handle); }
};

// An open libsndfile file, closed on every path out of its scope.
using SndFileHandle = std::unique_ptr<SNDFILE, SndFileCloser>;

} // namespace sorvane
