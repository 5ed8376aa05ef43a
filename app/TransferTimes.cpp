#include "TransferTimes.h"

namespace {

// "2 h 45 min", "12 min", "40 s": the rough size of a time left.
QString Roughly(qint64 ms) {
    const qint64 s = (ms + 500) / 1000;
    if (s < 60) return QString("%1 s").arg(s);
    const qint64 min = (s + 30) / 60;
    if (min < 60) return QString("%1 min").arg(min);
    return QString("%1 h %2 min").arg(min / 60).arg(min % 60);
}

// "12 s", "2 min 5 s", "1 h 3 min": a wait, counted up.
QString Counted(qint64 ms) {
    const qint64 s = ms / 1000;
    if (s >= 3600) return QString("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
    if (s >= 60) return QString("%1 min %2 s").arg(s / 60).arg(s % 60);
    return QString("%1 s").arg(s);
}

// Rows that must have gone before the time left is worth guessing, and how
// many of the latest rows the rate is measured over.
constexpr int kRowsBeforeEstimate = 5;
constexpr std::size_t kRateWindow = 64;
// A transfer that has heard nothing from the scale for this long says so.
constexpr qint64 kQuietMs = 3000;

} // namespace

void TTransferTimes::Begin() {
    FRowTimes.clear();
    FSinceStart.start();
    FSinceReply.start();
}

void TTransferTimes::Replies(std::uint64_t replies) {
    if (replies == FReplies) return;
    // A complete reply came: the wait for the scale starts over.
    FReplies = replies;
    FSinceReply.start();
}

void TTransferTimes::Row(int current) {
    // A table loaded during the transfer starts the measurement afresh.
    if (!FRowTimes.empty() && current < FRowTimes.back().first) FRowTimes.clear();
    if (FRowTimes.empty() || current > FRowTimes.back().first) {
        FRowTimes.emplace_back(current, FSinceStart.elapsed());
        if (FRowTimes.size() > kRateWindow) FRowTimes.pop_front();
    }
}

QString TTransferTimes::Left(int current, int rows, bool records) const {
    if (FRowTimes.empty()) return {};
    const int measured = FRowTimes.back().first - FRowTimes.front().first;
    if (!records || current < kRowsBeforeEstimate || measured < kRowsBeforeEstimate) return {};
    const double msPerRow = double(FRowTimes.back().second - FRowTimes.front().second) / measured;
    // The row on its way, the rows after it and the end command.
    const int left = rows - current + 1;
    return ", about " + Roughly(static_cast<qint64>(msPerRow * left)) + " left";
}

bool TTransferTimes::Quiet() const {
    return FSinceReply.isValid() && FSinceReply.elapsed() >= kQuietMs;
}

QString TTransferTimes::WaitNote() const {
    if (!Quiet()) return {};
    return "No reply from the scale for " + Counted(FSinceReply.elapsed());
}
