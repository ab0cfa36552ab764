#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <sndfile.h>

#include "audio_io/lossy_writer.hpp"
#include "audio_io/output_target.hpp"
#include "metadata/loop_points.hpp"
#include "seam/seam_judge.hpp"
#include "sustain/sustain_loop.hpp"

namespace sorvane {

// One note to loop: where it is read and written, and how it is looped.
struct NoteRequest {
    std::string input;
    std::string output;
    std::optional<double> startSeconds;
    std::optional<double> endSeconds;
    std::optional<double> shortestSeconds;
    std::optional<double> crossfadeMs;
    bool crossfade = true;
    bool flatten = false;
    // --quality for a lossy output, in its codec's terms (see encoderSettingsFromQuality).
    std::optional<std::string> quality;
    // The note the file's name gives (a MIDI note), which the sample's unity
    // note follows where it and the pitch found disagree.
    std::optional<int> namedRoot;
};

struct LoopedNote {
    SustainLoop loop;
    SF_INFO input{};  // as read
    SF_INFO output{}; // as written
    std::optional<FileIdentity> inputIdentity;
    bool keptPackets = false;
    // Where the loop lies in the file as written, at the rate it is read at
    // (a lossy codec may carry the note at another rate), and how a note
    // encoded anew was encoded.
    LoopPoints fileLoop;
    int fileRate = 0;
    std::optional<EncoderSettings> encodedWith;
    // A lossy note encoded anew: its loop judged as the file holds it.
    std::optional<SeamJudgement> heard;
    // The note the sample sounds at its unity key, with a fraction: the pitch
    // found, or the name's note with the fraction found (none for a sound
    // with neither); and whether the name and the pitch disagree.
    std::optional<double> unityNote;
    bool nameDisagrees = false;
    // The loudest 50 ms (RMS, dB of full scale), and how long the note takes
    // after the loop to fall 60 dB below the loop's end, or to end.
    double peakDb = -200.0;
    double releaseSeconds = 0.0;
};

// Reads the note, finds its loop and writes the whole note with its loop
// points, as sorvane-sustain does: a lossy note written to its own format
// keeps its packets when its loop is seamless without a blend, and is
// encoded anew with the blend through the seamless lossy writer otherwise;
// the output's format is the one its name names.
// `beforeWriting`, when given, runs once the loop is found and before
// anything is written, and may stop the run by returning false (after
// saying why). Nothing on failure, after writing the reason to `err`, each
// line naming the file it concerns.
std::optional<LoopedNote> loopNoteFile(const NoteRequest& request, std::ostream& err,
                                       const std::function<bool(const LoopedNote&)>& beforeWriting = {});

// The MIDI note a sample is keyed to from its name and the pitch found, as
// loopNoteFile sets it: the pitch found when there is no name or the two lie
// within 50 cents; else the name's note with the fraction found.
std::optional<double> unityNoteOf(std::optional<int> namedRoot, std::optional<double> foundNote);

} // namespace sorvane
