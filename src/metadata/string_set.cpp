#include "metadata/string_set.hpp"

#include "escape/escape.hpp"

namespace sorvane {

StringSet readStringSet(SNDFILE* file) {
    StringSet strings;
    for (int type = SF_STR_FIRST; type <= SF_STR_LAST; ++type) {
        if (const char* value = sf_get_string(file, type); value != nullptr && *value != '\0') {
            // The encoders take UTF-8 and nothing else (libsndfile's FLAC
            // writer frees a comment libFLAC refused, and then again).
            strings.emplace_back(type, utf8FromTag(value));
        }
    }
    return strings;
}

bool takesStringSet(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV: case SF_FORMAT_WAVEX: case SF_FORMAT_RF64: case SF_FORMAT_AIFF: case SF_FORMAT_CAF:
    case SF_FORMAT_FLAC: case SF_FORMAT_OGG: case SF_FORMAT_MPEG:
        return true;
    default:
        return false;
    }
}

std::optional<std::string> writeStringSet(SNDFILE* file, const StringSet& strings) {
    for (const auto& [type, value] : strings) {
        const int error = sf_set_string(file, type, value.c_str());
        if (error != SF_ERR_NO_ERROR) {
            return std::string("libsndfile would not take the file's tags: ") + sf_error_number(error);
        }
    }
    return std::nullopt;
}

} // namespace sorvane
