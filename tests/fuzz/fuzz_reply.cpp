// Reply assembly and matching in the transfer engine.
//
// The window's way: pieces gather until a line is complete, a complete line
// empties the buffer, a line that never ends is dropped once too long, and a
// complete line moves the transfer on exactly when its trimmed text is the
// reply expected now and a command went out since the last line that did.
//
// Strict replies, against a scale that answers every copy it hears, in order,
// and may also answer twice or out of turn, its bytes reaching the engine cut
// and joined anyhow: the buffer holds what follows the last LF; a row counts
// only once a reply to a copy of that row said "Mr", unless the scale said
// more than it was asked; the transfer is done with a row that never got
// "Mr" only while an answer of that scale is still to come (the engine cannot
// wait for ever); and only such a scale makes the transfer fail for too many
// replies.
#include "tests/common/EngineEvents.h"
#include "transfer/TransferEngine.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <deque>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <set>
#include <string>

namespace {

std::string Trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

// What the scale must say now; empty when nothing moves the transfer on.
std::string ExpectedNow(const TTransferProgress& p, TDatabaseKind kind) {
    switch (p.Phase) {
    case TTransferPhase::Starting:
        return std::string(protocol::StartReply(kind));
    case TTransferPhase::Records:
        return std::string(protocol::RecordTaken);
    case TTransferPhase::Ending:
        return std::string(protocol::Ended);
    case TTransferPhase::Idle:
    case TTransferPhase::Ended:
        break;
    }
    return {};
}

void Strict(FuzzedDataProvider& in) {
    TTransferOptions options;
    options.ReplyTimeoutMs = 1000; // the input fires the tick and the time-out: no time passes
    options.RetryLimit = in.ConsumeIntegralInRange<int>(-1, 4);
    options.StrictReplies = true;
    const int rows = in.ConsumeIntegralInRange<int>(1, 5);
    const bool user = in.ConsumeBool();
    auto record = [](int r) { return "r" + std::to_string(r) + ";x"; };

    transfer::TStepClock clock;
    TTransferEngine engine(options, clock);
    struct Rows : TTransferRows {
        int count = 0;
        int RowCount() const override { return count; }
        std::string RecordText(int r) const override { return "r" + std::to_string(r) + ";x"; }
    } table;
    table.count = rows;
    engine.SetRows(&table);

    std::deque<std::string> heard; // copies the scale got and has not answered yet
    std::string said;              // its bytes on their way, not yet read
    std::string last;              // its last answer, line end included
    bool extra = false;            // it answered twice or out of turn
    std::set<std::string> confirmed;
    std::optional<TTransferOutcome> outcome;
    std::string tail; // what the engine must hold: the bytes after the last LF
    TEngineEvents events;
    engine.SetListener(&events);
    events.OnSend = [&](const std::string& command) { heard.push_back(command); };
    events.OnFinished = [&](const TTransferOutcome& o) {
        if (!outcome) outcome = o;
    };
    engine.Start(user ? TDatabaseKind::User : TDatabaseKind::Product);

    auto allConfirmed = [&](int upTo) {
        for (int r = 0; r < upTo; ++r)
            if (!confirmed.count("Sr" + record(r))) return false;
        return true;
    };
    while (in.remaining_bytes() > 0 && !outcome) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1: { // the answer to the oldest copy heard, right or not
            if (heard.empty()) break;
            const std::string command = heard.front();
            heard.pop_front();
            const std::string right(protocol::Acknowledgement(command));
            std::string reply;
            switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
                reply = "Mx";
                break;
            case 1:
                reply = "M" + right; // a near miss
                break;
            case 2:
                reply = "  " + right + " ";
                break;
            default:
                reply = right;
                break;
            }
            if (Trimmed(reply) == right) confirmed.insert(command);
            last = reply + (in.ConsumeBool() ? "\r\n" : "\n");
            said += last;
            break;
        }
        case 2: // the same answer once more
            if (last.empty()) break;
            said += last;
            extra = true;
            break;
        case 3: { // a reply nobody asked for
            static const char* const kStray[] = {"Mr", "MbP", "MbU", "Me", "Mx"};
            said += std::string(kStray[in.ConsumeIntegralInRange<int>(0, 4)]) + "\r\n";
            extra = true;
            break;
        }
        case 4:
        case 5: { // some of what the scale said arrives, in one piece
            const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, said.size());
            const std::string piece = said.substr(0, n);
            said.erase(0, n);
            tail += piece;
            if (const auto lf = tail.rfind('\n'); lf != std::string::npos) tail.erase(0, lf + 1);
            if (tail.size() > MaxReplyBuffer) tail.clear();
            engine.Feed(piece);
            FUZZ_CHECK(engine.ReplyBuffer() == tail);
            break;
        }
        case 6:
            clock.Fire(0); // the tick, when one is due
            break;
        case 7:
            clock.Fire(1); // the reply time-out, when one is running
            break;
        }
        // An honest scale is taken at its word: a row counts only once it said "Mr" to it.
        if (!extra) FUZZ_CHECK(allConfirmed(engine.Progress().Acknowledged));
    }
    if (!outcome) return;
    if (outcome->Fault == TTransferFault::TooManyReplies) FUZZ_CHECK(extra);
    if (outcome->Done) {
        const bool owed = !heard.empty() || !said.empty();
        FUZZ_CHECK(allConfirmed(rows) || (extra && owed));
        if (!extra) FUZZ_CHECK(confirmed.count("Se"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        Strict(in);
        return 0;
    }
    transfer::TStepClock clock;
    TTransferEngine engine({}, clock);
    bool sent = false; // a command went out since the sequencer last moved on
    TEngineEvents events;
    engine.SetListener(&events);
    events.OnSend = [&](const std::string&) { sent = true; };
    struct : TTransferRows {
        int RowCount() const override { return 3; }
        std::string RecordText(int r) const override { return std::to_string(r) + ";x"; }
    } rows;
    engine.SetRows(&rows);
    const TDatabaseKind kind = in.ConsumeBool() ? TDatabaseKind::User : TDatabaseKind::Product;
    engine.Start(kind);

    std::string expected;
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
            clock.FireNext(); // the tick, when one is due
            continue;
        }
        // Long pieces now and then, so that the limit is reached.
        const std::size_t repeat = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<std::size_t>(1, 9000);
        const std::string unit = in.ConsumeRandomLengthString(16);
        std::string piece;
        for (std::size_t i = 0; i < repeat; ++i)
            piece += unit;
        const TTransferProgress before = engine.Progress();
        const std::string line = expected + piece;
        const bool complete = line.find('\n') != std::string::npos;
        engine.Feed(piece);
        expected = line;
        if (complete || expected.size() > MaxReplyBuffer) expected.clear();
        FUZZ_CHECK(engine.ReplyBuffer() == expected);
        FUZZ_CHECK(engine.ReplyBuffer().find('\n') == std::string::npos);
        const std::int32_t was = RowIndexCode(before), now = RowIndexCode(engine.Progress());
        const std::string wanted = ExpectedNow(before, kind);
        const bool moved = now != was;
        FUZZ_CHECK(moved == (complete && sent && !wanted.empty() && Trimmed(line) == wanted));
        if (moved) {
            FUZZ_CHECK(now == was + 1 || (was == -1 && now == -2));
            sent = false;
        }
    }
    return 0;
}
