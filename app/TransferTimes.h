#pragma once
// How long the window's transfer has left, and how long the scale has been
// quiet: the rate over the latest rows, the wait since the last reply.
#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <deque>
#include <utility>

class TTransferTimes {
public:
    // A transfer starts: the measurement and the wait start afresh.
    void Begin();
    // The engine's count of complete replies; a new one ends the wait.
    void Replies(std::uint64_t replies);
    // The row going out now.
    void Row(int current);
    // ", about 12 min left" while records go out and enough rows were measured,
    // else "". `rows`: the table's.
    QString Left(int current, int rows, bool records) const;
    // No reply for long enough to say so.
    bool Quiet() const;
    // "No reply from the scale for 12 s" once quiet, else "".
    QString WaitNote() const;

private:
    std::uint64_t FReplies = 0;
    QElapsedTimer FSinceStart;
    QElapsedTimer FSinceReply;
    // (row, ms since the start) of the latest rows that went out: the rate.
    std::deque<std::pair<int, qint64>> FRowTimes;
};
