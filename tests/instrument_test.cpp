// The instrument's parts that decide where a note goes: the note a file's
// name gives, and the keys and velocities each sample answers.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "instrument/key_map.hpp"
#include "instrument/note_names.hpp"
#include "sustain/looped_note.hpp"

namespace sorvane {
namespace {

struct NameCase {
    const char* stem;
    std::optional<int> note;
};

TEST(NoteOfName, ReadsTheNotesSamplersAreNamedBy) {
    for (const NameCase& c : std::vector<NameCase>{
             {"C4", 60},
             {"cello_C3", 48},
             {"Viola-F#3-mf", 54},
             {"flute Db5 take2", 73},
             {"horn_Cs4", 61},
             {"lowest C-1", 0},
             {"piano_060_mf", 60},
             {"piano_060_100", 60},   // the note comes before the velocity
             {"pad 72", 72},
             {"Strings 2 C4", 60},    // a note name outranks a number
             {"take7", std::nullopt}, // a number in a word is no note
             {"bass", std::nullopt},  // nor is a word that starts like one
             {"room 5", std::nullopt}, // one digit is not a note
             {"A4 again E2", 40},     // of several names, the last
             {"G10", std::nullopt},
             {"", std::nullopt},
         }) {
        EXPECT_EQ(noteOfName(c.stem), c.note) << c.stem;
    }
}

// The name's note wins where the pitch disagrees by more than 50 cents, and
// keeps the fraction found; within 50 cents the pitch found stands.
TEST(UnityNote, FollowsTheNameWhereThePitchDisagrees) {
    // The fraction is the pitch less its whole note, which rounds in doubles.
    constexpr double kFractionRounding = 1e-12;
    EXPECT_EQ(unityNoteOf(std::nullopt, 60.2), 60.2);
    EXPECT_EQ(unityNoteOf(60, std::nullopt), 60.0);
    EXPECT_EQ(unityNoteOf(60, 60.3), 60.3);
    EXPECT_NEAR(*unityNoteOf(60, 62.2), 60.2, kFractionRounding);
    EXPECT_NEAR(*unityNoteOf(60, 47.9), 59.9, kFractionRounding);
    EXPECT_EQ(unityNoteOf(std::nullopt, std::nullopt), std::nullopt);
}

struct ZoneCase {
    const char* name;
    std::vector<PlacedNote> notes;
    std::vector<KeyZone> zones;
};

TEST(MapKeys, EachRootTakesTheKeysNearestIt) {
    for (const ZoneCase& c : std::vector<ZoneCase>{
             {"one note reaches an octave each way", {{60, 0.0}}, {{48, 72, 1, 127}}},
             {"a key halfway goes to the lower root",
              {{60, 0.0}, {64, 0.0}},
              {{48, 62, 1, 127}, {63, 76, 1, 127}}},
             {"given in any order",
              {{67, 0.0}, {48, 0.0}, {55, 0.0}},
              {{62, 79, 1, 127}, {36, 51, 1, 127}, {52, 61, 1, 127}}},
             {"the ends stop at the keyboard's", {{5, 0.0}, {125, 0.0}}, {{0, 65, 1, 127}, {66, 127, 1, 127}}},
             {"layers quietest lowest",
              {{60, -6.0}, {60, -20.0}, {60, -12.0}, {72, -3.0}},
              {{48, 66, 85, 127}, {48, 66, 1, 42}, {48, 66, 43, 84}, {67, 84, 1, 127}}},
         }) {
        const std::vector<KeyZone> zones = mapKeys(c.notes);
        ASSERT_EQ(zones.size(), c.zones.size()) << c.name;
        for (std::size_t i = 0; i < zones.size(); ++i) {
            EXPECT_EQ(zones[i].lowKey, c.zones[i].lowKey) << c.name << ", note " << i;
            EXPECT_EQ(zones[i].highKey, c.zones[i].highKey) << c.name << ", note " << i;
            EXPECT_EQ(zones[i].lowVelocity, c.zones[i].lowVelocity) << c.name << ", note " << i;
            EXPECT_EQ(zones[i].highVelocity, c.zones[i].highVelocity) << c.name << ", note " << i;
        }
    }
}

} // namespace
} // namespace sorvane
