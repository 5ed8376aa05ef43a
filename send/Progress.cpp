#include "Progress.h"

#include "Report.h"
#include "fleet/Fleet.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sendcmd {

Progress::Progress(const fleet::TFleet& sender, const std::vector<Target>& targets) : sender_(sender) {
    std::size_t targetWidth = 0, nameWidth = 0;
    for (const Target& t : targets) {
        targetWidth = std::max(targetWidth, TextWidth(t.text));
        nameWidth = std::max(nameWidth, TextWidth(t.name));
    }
    // The columns of the final lines: target, then the name when any scale has one.
    for (const Target& t : targets) {
        std::string shown = Padded(t.text, targetWidth);
        if (nameWidth > 0) shown += "  " + Padded(t.name, nameWidth);
        names_.push_back(shown);
        width_ = std::max(width_, TextWidth(shown));
    }
    QObject::connect(&timer_, &QTimer::timeout, [this] { Draw(); });
    timer_.start(250);
}

Progress::~Progress() {
    Clear();
}

void Progress::Clear() {
    timer_.stop();
    if (drawn_ > 0) std::fprintf(stderr, "\x1b[%dA\r\x1b[J", drawn_);
    std::fflush(stderr);
    drawn_ = 0;
}

void Progress::Draw() {
    winsize ws{};
    const int height = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 2 ? ws.ws_row : 25;
    const auto statuses = sender_.Statuses();
    const int shown = std::min<int>(static_cast<int>(statuses.size()), height - 2);
    std::string out;
    if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "A";
    char line[256];
    int lines = 0;
    for (int i = 0; i < shown; ++i) {
        const auto& s = statuses[static_cast<std::size_t>(i)];
        const std::string name = Padded(names_[static_cast<std::size_t>(i)], width_);
        if (s.finished) {
            std::snprintf(line, sizeof line, "%s  %s", name.c_str(), s.sent ? "sent" : "FAILED");
        } else if (s.waiting) {
            std::snprintf(line, sizeof line, "%s  waiting: another program is sending to it", name.c_str());
        } else {
            const double rate = s.seconds > 0 ? s.acknowledged / s.seconds : 0;
            const int left = rate > 0 ? static_cast<int>((s.rows - s.acknowledged) / rate + 0.5) : -1;
            std::snprintf(line, sizeof line, "%s  row %d of %d  %.1f rows/s  %s", name.c_str(),
                          std::min(s.acknowledged + 1, s.rows), s.rows, rate,
                          left >= 0 ? (std::to_string(left) + " s left").c_str() : "");
        }
        out += std::string("\r\x1b[K") + line + "\n";
        ++lines;
    }
    if (static_cast<int>(statuses.size()) > shown) {
        const auto finished =
            std::count_if(statuses.begin(), statuses.end(), [](const auto& s) { return s.finished; });
        std::snprintf(line, sizeof line, "... and %d more targets (%d of %d finished)",
                      static_cast<int>(statuses.size()) - shown, static_cast<int>(finished),
                      static_cast<int>(statuses.size()));
        out += std::string("\r\x1b[K") + line + "\n";
        ++lines;
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = lines;
}

} // namespace sendcmd
