#include "instrument/note_names.hpp"

#include <cctype>
#include <vector>

namespace sorvane {

namespace {

bool isWordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '#'; }

// A note name filling the whole of `word`, such as "C4", "F#3", "Db5",
// "Cs4" or "C-1" (the minus sign belongs to the word here).
std::optional<int> noteOfWord(const std::string& word) {
    static const int kSemitones[] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G
    std::size_t at = 0;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(word.empty() ? ' ' : word[0])));
    if (letter < 'A' || letter > 'G') {
        return std::nullopt;
    }
    int note = kSemitones[letter - 'A'];
    ++at;
    if (at < word.size() && (word[at] == '#' || word[at] == 's')) {
        ++note;
        ++at;
    } else if (at < word.size() && word[at] == 'b') {
        --note;
        ++at;
    }
    int octave = 0;
    if (word.compare(at, std::string::npos, "-1") == 0) {
        octave = -1;
        at += 2;
    } else if (at + 1 == word.size() && std::isdigit(static_cast<unsigned char>(word[at])) != 0) {
        octave = word[at] - '0';
        ++at;
    } else {
        return std::nullopt;
    }
    const int midi = (octave + 1) * 12 + note;
    if (at != word.size() || midi < 0 || midi > 127) {
        return std::nullopt;
    }
    return midi;
}

} // namespace

std::optional<int> noteOfName(const std::string& stem) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < stem.size();) {
        if (!isWordCharacter(stem[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < stem.size() && isWordCharacter(stem[end])) {
            ++end;
        }
        // "C-1": a note letter, the minus sign and a one.
        if (end + 1 < stem.size() && stem[end] == '-' && stem[end + 1] == '1' &&
            (end + 2 == stem.size() || !isWordCharacter(stem[end + 2])) && end - at <= 2) {
            end += 2;
        }
        words.push_back(stem.substr(at, end - at));
        at = end;
    }
    std::optional<int> named;
    std::optional<int> numbered;
    for (const std::string& word : words) {
        if (const std::optional<int> note = noteOfWord(word)) {
            named = note;
            continue;
        }
        bool digits = word.size() >= 2 && word.size() <= 3;
        for (const char c : word) {
            digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
        }
        if (digits && !numbered) {
            const int value = std::stoi(word);
            if (value >= 12 && value <= 127) {
                numbered = value;
            }
        }
    }
    return named ? named : numbered;
}

} // namespace sorvane
