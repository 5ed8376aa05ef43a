#include "send/SendTestUtil.h"

#include <set>

using namespace sendtest;

// A scale slower than the time-out answers every copy, late, and refuses every
// fourth record line: a row counts as sent only if a copy of it got "Mr".
TEST_F(SendTest, AfterTimeOutResendsOnlyRowsTheScaleAcknowledgedCountAsSent) {
    constexpr int kRows = 8;
    SimProcess sim;
    sim.Start({"--tcp", "--delay", "200", "--wrong-every", "4", "--log", sim.LogPath()});
    SendProcess send(dir_);
    const int status =
        send.Run({Table(kRows), Tcp(sim.Port()), "--timeout", "0.15", "--retries", "3", "--json"});

    std::set<std::string> confirmed;
    int recordLines = 0;
    for (const auto& line : Lines(sim.ReadLog()))
        if (line.rfind("Sr", 0) == 0 && ++recordLines % 4 != 0) confirmed.insert(line);
    int leading = 0; // rows acknowledged by the scale, from the first on
    while (leading < kRows &&
           confirmed.count("Sr" + std::to_string(leading + 1) + ";Item " + std::to_string(leading + 1) + ";" +
                           std::to_string(leading + 1) + ".00\r"))
        ++leading;
    const QJsonObject target = Json(send.Out())["targets"].toArray()[0].toObject();
    EXPECT_GT(target["resends"].toInt(), 0) << send.Err();
    EXPECT_LE(target["acknowledged_rows"].toInt(), leading) << send.Err();
    if (status == 0) {
        EXPECT_EQ(leading, kRows) << send.Err();
    }
}
