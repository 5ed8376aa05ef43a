// The transfer engine against a scale that answers every copy it received,
// in order, while the input decides when each answer arrives, what it says,
// when the tick and the reply time-out fire and which copies are lost on the
// way. Whatever the order, a row counts as acknowledged (and the transfer as
// done) only once the scale said "Mr" to a copy of that row's own record, and
// no row goes out before the one before it was acknowledged.
#include "transfer/TransferEngine.h"

#include "FuzzUtil.h"

#include <QCoreApplication>
#include <cstdint>
#include <deque>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_engine_timeouts";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv); // the engine's timers need one

    FuzzedDataProvider in(data, size);
    TTransferOptions options;
    options.ReplyTimeoutMs = 0; // the input fires the time-out through ReplyTimedOut
    options.RetryLimit = in.ConsumeIntegralInRange<int>(-1, 4);
    const int rows = in.ConsumeIntegralInRange<int>(1, 5);
    const bool user = in.ConsumeBool();
    const std::string start = user ? "SbU" : "SbP";
    const std::string started = user ? "MbU" : "MbP";
    auto record = [](int r) { return "r" + std::to_string(r) + ";x"; };

    TTransferEngine engine(options);
    engine.RowCount = [rows] { return rows; };
    engine.RecordText = record;
    engine.OnArmTimer = [] {}; // the input ticks

    std::deque<std::string> copies;  // received by the scale, not yet answered
    std::set<std::string> confirmed; // commands the scale answered rightly at least once
    std::optional<TTransferOutcome> outcome;
    engine.OnSend = [&](const std::string& command) {
        // Nothing goes out before what it follows was acknowledged.
        if (command == start) {
            FUZZ_CHECK(confirmed.empty());
        } else if (command == "Se") {
            for (int r = 0; r < rows; ++r)
                FUZZ_CHECK(confirmed.count("Sr" + record(r)));
        } else {
            FUZZ_CHECK(confirmed.count(start));
            const int r = engine.RowIndex() - 1;
            FUZZ_CHECK(r >= 0 && r < rows && command == "Sr" + record(r));
            for (int before = 0; before < r; ++before)
                FUZZ_CHECK(confirmed.count("Sr" + record(before)));
        }
        copies.push_back(command);
    };
    engine.OnFinished = [&](const TTransferOutcome& o) { outcome = o; };
    engine.Start(user ? TDatabaseKind::User : TDatabaseKind::Product);

    while (in.remaining_bytes() > 0 && !outcome) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1:
        case 2:
        case 3: {
            if (copies.empty()) break;
            const std::string command = copies.front();
            copies.pop_front();
            const std::string right = command == start ? started : command == "Se" ? "Me" : "Mr";
            const bool wrong = in.ConsumeIntegralInRange<int>(0, 2) == 0;
            if (!wrong) confirmed.insert(command);
            engine.Feed((wrong ? "Mx" : right) + "\r\n");
            break;
        }
        case 4:
        case 5:
            engine.Tick(); // what the tick timer does
            break;
        case 6:
            engine.ReplyTimedOut(); // what the reply timer does
            break;
        case 7:
            if (!copies.empty()) copies.pop_front(); // lost on the way: never answered
            break;
        }
        const int acknowledged = engine.Progress().Acknowledged;
        FUZZ_CHECK(acknowledged >= 0 && acknowledged <= rows);
        for (int r = 0; r < acknowledged; ++r)
            FUZZ_CHECK(confirmed.count("Sr" + record(r)));
    }
    if (outcome && outcome->Done) {
        FUZZ_CHECK(confirmed.count("Se"));
        for (int r = 0; r < rows; ++r)
            FUZZ_CHECK(confirmed.count("Sr" + record(r)));
    }
    return 0;
}
