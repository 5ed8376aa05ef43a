#pragma once
// The shop's list of scales: the text file "scales" in the settings folder,
// also the format of a targets file. One scale a line:
//
//     # comment
//     tcp:192.0.2.10:4001  Deli counter
//     tcp:192.0.2.11:4001 pace=0  Butcher
//     -serial:/dev/ttyUSB0@9600,8N1  Bakery (switched off)
//
// An optional leading "-" switches the scale off; the target is the first
// word; an optional "pace=MS" word after it sets the scale's pace (written
// only when it is not 100, so a list that sets none reads as it always did);
// the name is the rest of the line, trimmed (spaces and any UTF-8
// allowed, no control characters). Blank lines and lines whose first
// non-blank is "#" are comments. Leading blanks are allowed; a blank between
// the "-" and the target is allowed too.
//
// A name is written as it is, after the target and two spaces: it is the
// rest of the line, so it needs no quoting; it cannot hold a line end.
//
// Editing keeps every other line byte for byte (comments, blank lines, bad
// lines, the order, CR LF endings); only the edited entry's line changes.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "scales/Targets.h"

namespace scales {

// Checks a target's own syntax: an error text, empty when the target is fine.
using TargetValidator = std::function<std::string(const std::string& target)>;

struct ScaleEntry {
    std::string target; // as written, e.g. "tcp:192.0.2.10:4001"
    std::string name;   // may be empty
    bool enabled = true;
    int line = 0;              // 1-based line of the text it was read from; 0 for an entry not written yet
    int pace = kDefaultPaceMs; // ms from an acknowledgement to the next command
};

// A bad line: its 1-based number and what is wrong with it.
struct ScaleListProblem {
    int line = 0;
    std::string message;
};

class ScaleList {
public:
    ScaleList() = default;

    // Parses the text of a list. Never throws: every bad line is kept as a
    // problem (all of them, in line order) and its entry left out. `label`
    // begins each message ("scales:7: ..."). An empty validator accepts every
    // target.
    static ScaleList Parse(const std::string& text, TargetValidator validate = {},
                           std::string label = "scales");

    const std::vector<ScaleEntry>& Entries() const { return FEntries; }
    // The switched-on entries, in file order.
    std::vector<ScaleEntry> Enabled() const;
    // Index into Entries() of the entry with this target, or -1.
    int Find(const std::string& target) const;

    bool Ok() const { return FProblems.empty(); }
    const std::vector<ScaleListProblem>& Problems() const { return FProblems; }
    // "LABEL:LINE: MESSAGE" for each problem, e.g.
    // "scales:7: tcp:192.0.2.10:4001 is already on line 3".
    std::vector<std::string> Messages() const;
    const std::string& Label() const { return FLabel; }
    // Set by ReadScaleList when there was no file.
    bool Missing() const { return FMissing; }

    // --- Editing (the board) -------------------------------------------------
    // Each returns an error text and changes nothing when the entry is not
    // acceptable (the target fails the validator, is empty, holds a blank or
    // a control character, begins with "-" or "#", or is already in the list;
    // the name holds a line end or another control character, or is not
    // UTF-8); empty on success.

    // Appends the entry as a new last line.
    std::string Add(ScaleEntry entry);
    // Replaces entry `index`'s line with the new entry.
    std::string Replace(std::size_t index, ScaleEntry entry);
    // Removes entry `index`'s line; false when there is no such entry.
    bool Remove(std::size_t index);

    // The file's contents with the edits applied.
    std::string Text() const;

private:
    struct Line {
        std::string raw; // the bytes of the line, line end excluded
        std::string eol; // its line end as read: "\n", "\r\n", "\r", or "" for a last line without one
        int entry = -1;  // index into FEntries, or -1 for a comment, blank or bad line
    };
    std::string Check(const ScaleEntry& entry, int ignore) const;
    std::string FormatLine(const ScaleEntry& entry) const;
    void Renumber();

    std::vector<Line> FLines;
    std::vector<ScaleEntry> FEntries;
    std::vector<ScaleListProblem> FProblems;
    TargetValidator FValidate;
    std::string FLabel = "scales";
    std::string FEol = "\n"; // for new lines: the first line end of the text read
    bool FMissing = false;
    friend ScaleList ReadScaleList(const std::string&, TargetValidator, std::string);
};

// Formats one entry as the list writes it: "[-]TARGET[ pace=MS]  NAME" (no line end).
std::string FormatScaleEntry(const ScaleEntry& entry);

// Where the settings folder's list lives: platform::SettingsDir() + "scales".
std::string ScaleListPath();

// Reads and parses a list file. A missing file is an empty list with no
// problem (a shop that has not listed its scales yet); a file that cannot be
// read (not a regular file, no permission) gives one problem on line 0
// ("LABEL: cannot read ..."). `label` defaults to the path.
ScaleList ReadScaleList(const std::string& path, TargetValidator validate = {}, std::string label = {});

// Replaces the file atomically with list.Text() (platform::WriteFileAtomically).
// Throws std::runtime_error when it cannot be written.
void WriteScaleList(const std::string& path, const ScaleList& list);

} // namespace scales
