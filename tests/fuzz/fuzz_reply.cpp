// Reply assembly and matching in the transfer engine: pieces gather until a
// line is complete, a complete line empties the buffer, a line that never
// ends is dropped once too long, and a complete line moves the transfer on
// exactly when its trimmed text is the reply expected now and a command went
// out since the last line that did.
#include "tests/common/EngineEvents.h"
#include "transfer/TransferEngine.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
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
