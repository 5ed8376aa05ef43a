// The transfer engine against a scale that answers every copy it received,
// in order, while the input decides when each answer arrives, what it says,
// when the tick and the reply time-out fire and which copies are lost on the
// way. Whatever the order, a row counts as acknowledged (and the transfer as
// done) only once the scale said "Mr" to a copy of that row's own record, and
// no row goes out before the one before it was acknowledged. A reply moves
// the transfer on only when its trimmed text is the reply expected now; near
// misses ("M", "mr", "Mr x", " Mx ", a prefix of the right reply) never do,
// and while no copy was lost on the way, the right reply to a copy of the
// command out now always does. With strict replies or without, such a scale
// never fails a transfer for answering too often.
#include "tests/common/EngineEvents.h"
#include "transfer/TransferEngine.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    TTransferOptions options;
    options.ReplyTimeoutMs = 1000; // the input fires the tick and the time-out: no time passes
    options.RetryLimit = in.ConsumeIntegralInRange<int>(-1, 4);
    options.StrictReplies = in.ConsumeBool();
    const int rows = in.ConsumeIntegralInRange<int>(1, 5);
    const bool user = in.ConsumeBool();
    const std::string start = user ? "SbU" : "SbP";
    const std::string started = user ? "MbU" : "MbP";
    auto record = [](int r) { return "r" + std::to_string(r) + ";x"; };

    transfer::TStepClock clock;
    TTransferEngine engine(options, clock);
    struct Rows : TTransferRows {
        int count = 0;
        std::function<std::string(int)> text;
        int RowCount() const override { return count; }
        std::string RecordText(int r) const override { return text(r); }
    } table;
    table.count = rows;
    table.text = record;
    engine.SetRows(&table);

    // Received by the scale, not yet answered: each with the number of moves
    // the transfer had made when it went out.
    std::deque<std::pair<std::string, int>> copies;
    int moves = 0;
    bool lost = false;
    std::set<std::string> confirmed; // commands the scale answered rightly at least once
    std::optional<TTransferOutcome> outcome;
    TEngineEvents events;
    engine.SetListener(&events);
    events.OnSend = [&](const std::string& command) {
        // Nothing goes out before what it follows was acknowledged.
        if (command == start) {
            FUZZ_CHECK(confirmed.empty());
        } else if (command == "Se") {
            for (int r = 0; r < rows; ++r)
                FUZZ_CHECK(confirmed.count("Sr" + record(r)));
        } else {
            FUZZ_CHECK(confirmed.count(start));
            const int r = engine.Progress().Next - 1;
            FUZZ_CHECK(r >= 0 && r < rows && command == "Sr" + record(r));
            for (int before = 0; before < r; ++before)
                FUZZ_CHECK(confirmed.count("Sr" + record(before)));
        }
        copies.emplace_back(command, moves);
    };
    events.OnFinished = [&](const TTransferOutcome& o) { outcome = o; };
    engine.Start(user ? TDatabaseKind::User : TDatabaseKind::Product);

    while (in.remaining_bytes() > 0 && !outcome) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1:
        case 2:
        case 3: {
            if (copies.empty()) break;
            const auto [command, sentAt] = copies.front();
            copies.pop_front();
            const std::string right(protocol::Acknowledgement(command));
            // The right reply, with blanks around it or not, or a near miss.
            std::string reply;
            bool rightly = false;
            switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                reply = "Mx";
                break;
            case 1:
                reply = "M";
                break;
            case 2:
                reply = "mr";
                break;
            case 3:
                reply = "Mr x";
                break;
            case 4:
                reply = " Mx ";
                break;
            case 5:
                reply = right.substr(0, in.ConsumeIntegralInRange<std::size_t>(0, right.size() - 1));
                break;
            case 6:
                reply = " \t" + right + " ";
                rightly = true;
                break;
            default:
                reply = right;
                rightly = true;
                break;
            }
            if (rightly) confirmed.insert(command);
            const TTransferProgress before = engine.Progress();
            const int movesBefore = moves;
            const std::string expected = before.Phase == TTransferPhase::Starting ? started
                                         : before.Phase == TTransferPhase::Ending
                                             ? std::string(protocol::Ended)
                                             : std::string(protocol::RecordTaken);
            engine.Feed(reply + "\r\n");
            // Failing (no tries left) is not moving on.
            const bool moved = !outcome && RowIndexCode(engine.Progress()) != RowIndexCode(before);
            if (moved) ++moves;
            // Trimmed, the line is the reply expected now, or nothing moves.
            if (moved) FUZZ_CHECK(rightly && right == expected);
            // An answer to a copy of the command out now, in its own moment, counts.
            if (!lost && sentAt == movesBefore && !outcome &&
                (before.Phase == TTransferPhase::Starting || before.Phase == TTransferPhase::Records ||
                 before.Phase == TTransferPhase::Ending))
                FUZZ_CHECK(moved == (rightly && right == expected));
            break;
        }
        case 4:
        case 5:
            clock.Fire(0); // the tick, when one is due
            break;
        case 6:
            clock.Fire(1); // the reply time-out, when one is running
            break;
        case 7:
            if (!copies.empty()) {
                copies.pop_front(); // lost on the way: never answered
                lost = true;
            }
            break;
        }
        const int acknowledged = engine.Progress().Acknowledged;
        FUZZ_CHECK(acknowledged >= 0 && acknowledged <= rows);
        for (int r = 0; r < acknowledged; ++r)
            FUZZ_CHECK(confirmed.count("Sr" + record(r)));
    }
    // This scale never answers more often than it was asked.
    if (outcome) FUZZ_CHECK(outcome->Fault != TTransferFault::TooManyReplies);
    if (outcome && outcome->Done) {
        FUZZ_CHECK(confirmed.count("Se"));
        for (int r = 0; r < rows; ++r)
            FUZZ_CHECK(confirmed.count("Sr" + record(r)));
    }
    return 0;
}
