// Reply assembly and matching in the transfer engine: pieces gather until a
// line is complete, a complete line empties the buffer, a line that never
// ends is dropped once too long, and no reply moves the sequencer on unless
// a command went out since the last one that did.
#include "transfer/TransferEngine.h"

#include "FuzzUtil.h"

#include <QCoreApplication>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_reply";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv); // the engine's timers need one

    FuzzedDataProvider in(data, size);
    TTransferEngine engine;
    bool sent = false; // a command went out since the sequencer last moved on
    engine.OnSend = [&](const std::string&) { sent = true; };
    engine.RowCount = [] { return 3; };
    engine.RecordText = [](int r) { return std::to_string(r) + ";x"; };
    engine.Start(in.ConsumeBool() ? TDatabaseKind::User : TDatabaseKind::Product);

    std::string expected;
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
            engine.Tick(); // what the 100 ms timer would do
            continue;
        }
        // Long pieces now and then, so that the limit is reached.
        const std::size_t repeat = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<std::size_t>(1, 9000);
        const std::string unit = in.ConsumeRandomLengthString(16);
        std::string piece;
        for (std::size_t i = 0; i < repeat; ++i)
            piece += unit;
        const std::int32_t before = engine.RowIndex();
        engine.Feed(piece);
        expected += piece;
        if (expected.find('\n') != std::string::npos || expected.size() > MaxReplyBuffer) expected.clear();
        FUZZ_CHECK(engine.ReplyBuffer() == expected);
        FUZZ_CHECK(engine.ReplyBuffer().find('\n') == std::string::npos);
        // One acknowledgement per command sent.
        if (engine.RowIndex() != before) {
            FUZZ_CHECK(sent);
            FUZZ_CHECK(engine.RowIndex() == before + 1 || (before == -1 && engine.RowIndex() == -2));
            sent = false;
        }
    }
    return 0;
}
