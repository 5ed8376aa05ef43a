// Reply assembly, with no window to match against: pieces gather until a
// line is complete, a complete line empties the buffer, and a line that
// never ends is dropped once too long; the buffer never holds an LF.
#include "app/ProcessData.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ProcessReply("\n"); // start from an empty buffer
    std::string expected;
    while (in.remaining_bytes() > 0) {
        // Long pieces now and then, so that the limit is reached.
        const std::size_t repeat = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<std::size_t>(1, 9000);
        const std::string unit = in.ConsumeRandomLengthString(16);
        std::string piece;
        for (std::size_t i = 0; i < repeat; ++i)
            piece += unit;
        ProcessReply(piece);
        expected += piece;
        if (expected.find('\n') != std::string::npos || expected.size() > MaxReplyBuffer) expected.clear();
        FUZZ_CHECK(ReplyBuffer() == expected);
        FUZZ_CHECK(ReplyBuffer().find('\n') == std::string::npos);
    }
    return 0;
}
