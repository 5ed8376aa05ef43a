#pragma once
// What the command tells at the end: one line per target, or a JSON report.
#include <string>
#include <vector>

#include "fleet/Result.h"

namespace sendcmd {

using fleet::TargetResult;

// "tcp:127.0.0.1:4001  sent 200 of 200 rows in 20.4 s"; `width` pads the target. With
// `nameWidth` > 0 the name follows, padded: "tcp:192.0.2.10:4001  Deli counter  sent ...".
std::string FinalLine(const TargetResult& r, std::size_t width, std::size_t nameWidth = 0);
// Targets in one column, names (when any target has one) in the next.
std::string FinalLines(const std::vector<TargetResult>& results);

// Characters of UTF-8 text as a terminal lines them up (one a code point).
std::size_t TextWidth(const std::string& text);
// `text` followed by blanks up to `width` characters.
std::string Padded(const std::string& text, std::size_t width);

std::string JsonReport(const std::string& table, bool userDatabase, int exitStatus,
                       const std::vector<TargetResult>& results);

// 0 when every target got the whole table, else 1.
int ExitStatus(const std::vector<TargetResult>& results);

} // namespace sendcmd
