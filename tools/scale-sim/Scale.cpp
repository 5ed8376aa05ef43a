#include "Scale.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace scalesim {

Scale::Scale(const Options& options) : options_(options) {
    if (!options_.logPath.empty()) {
        log_.Reset(Retry([&] {
            return ::open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }));
        if (!log_) ThrowErrno("cannot open log " + options_.logPath);
    }
}

void Scale::PrintEvent(const std::string& line) {
    // A parent that stopped reading must not stop the scale: failures are ignored.
    WriteAll(STDOUT_FILENO, line + "\n");
}

void Scale::Event(const std::string& line) const {
    if (options_.index == 0)
        PrintEvent(line);
    else
        PrintEvent(std::string("#").append(std::to_string(options_.index)).append(" ").append(line));
}

std::string Scale::Frame(std::string_view text) const {
    std::string out;
    if (options_.pad) out += "  ";
    out += text;
    if (options_.pad) out += "  ";
    out += "\r\n";
    return out;
}

void Scale::OnStartSignal(unsigned char byte) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    Event(std::string("START ") + hex);
}

Decision Scale::OnCommand(std::string_view command, std::string_view logBytes) {
    // Logged before anything is answered, so whoever saw the reply finds the line in the log.
    if (log_) WriteAll(log_.Get(), logBytes);
    ++commands_;

    Decision d;
    if (options_.resetAfter != 0 && commands_ == options_.resetAfter) {
        d.drop = Decision::Drop::Reset;
        return d;
    }
    if (options_.closeAfter != 0 && commands_ == options_.closeAfter) {
        d.drop = Decision::Drop::Close;
        return d;
    }
    const bool silent = options_.silentAfter != 0 && commands_ > options_.silentAfter;

    std::optional<std::string> text;
    if (command == "SbP" || command == "SbU") {
        acknowledged_ = 0;
        text = command == "SbP" ? "MbP" : "MbU";
    } else if (command.substr(0, 2) == "Sr") {
        ++recordLines_;
        const bool refused = options_.refuseRow != 0 && acknowledged_ + 1 == options_.refuseRow;
        if (refused || (options_.wrongEvery != 0 && recordLines_ % options_.wrongEvery == 0)) {
            text = "Mx";
        } else {
            text = "Mr";
            if (!silent) ++acknowledged_;
        }
    } else if (command == "Se") {
        text = "Me";
        if (options_.records && acknowledged_ != *options_.records) {
            mismatch_ = true;
            Event("MISMATCH " + std::to_string(acknowledged_) + " " + std::to_string(*options_.records));
        } else {
            Event("DONE");
        }
        d.exitAfterReply = options_.exitWhenDone;
    } else if (options_.unknownReply) {
        text = *options_.unknownReply;
    }

    if (text && !silent) d.reply = Frame(*text);
    if (options_.strayAfter != 0 && commands_ == options_.strayAfter) d.stray = Frame("Mr");
    return d;
}

} // namespace scalesim
