#pragma once

#include "Options.h"
#include "Sys.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace scalesim {

// What the link does after a command.
struct Decision {
    enum class Drop { None, Close, Reset };
    std::optional<std::string> reply; // wire bytes, line end included
    Drop drop = Drop::None;
    bool exitAfterReply = false;
    std::optional<std::string> stray; // wire bytes that follow the reply, answering nothing
};

// The scale's side of the protocol, independent of the link: which reply a command
// earns, the fault injection, the record count, the log and the event lines.
class Scale {
public:
    explicit Scale(const Options& options);

    // `command` is the line without its framing; `logBytes` is what goes into the log.
    Decision OnCommand(std::string_view command, std::string_view logBytes);
    void OnStartSignal(unsigned char byte);

    int ExitCode() const { return mismatch_ ? 3 : 0; }

    // One line on standard output, written at once so a parent sees it without delay.
    static void PrintEvent(const std::string& line);
    // The same for this scale: tagged with its number when it is one of several.
    void Event(const std::string& line) const;

private:
    std::string Frame(std::string_view text) const;

    const Options& options_;
    Fd log_;
    std::uint64_t commands_ = 0;
    std::uint64_t recordLines_ = 0;
    std::uint64_t acknowledged_ = 0;
    bool mismatch_ = false;
};

} // namespace scalesim
