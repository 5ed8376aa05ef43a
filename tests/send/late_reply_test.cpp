#include "send/SendTestUtil.h"

#include <regex>
#include <set>

using namespace sendtest;

// A scale slower than the time-out answers every copy, late, and refuses every
// fourth record line: a row counts as sent only if a copy of it got "Mr", at the
// window's pause and when the next command follows the acknowledgement at once.
TEST_F(SendTest, AfterTimeOutResendsOnlyRowsTheScaleAcknowledgedCountAsSent) {
    for (const char* pace : {"100", "0"}) {
        SCOPED_TRACE(std::string("--pace ") + pace);
        constexpr int kRows = 8;
        SimProcess sim;
        sim.Start({"--tcp", "--delay", "200", "--wrong-every", "4", "--log", sim.LogPath()});
        SendProcess send(dir_);
        const int status = send.Run(
            {Table(kRows), Tcp(sim.Port()), "--timeout", "0.15", "--retries", "3", "--pace", pace, "--json"});

        std::set<std::string> confirmed;
        int recordLines = 0;
        for (const auto& line : Lines(sim.ReadLog()))
            if (line.rfind("Sr", 0) == 0 && ++recordLines % 4 != 0) confirmed.insert(line);
        int leading = 0; // rows acknowledged by the scale, from the first on
        while (leading < kRows &&
               confirmed.count("Sr" + std::to_string(leading + 1) + ";Item " + std::to_string(leading + 1) +
                               ";" + std::to_string(leading + 1) + ".00\r"))
            ++leading;
        const QJsonObject target = Json(send.Out())["targets"].toArray()[0].toObject();
        EXPECT_GT(target["resends"].toInt(), 0) << send.Err();
        EXPECT_LE(target["acknowledged_rows"].toInt(), leading) << send.Err();
        if (status == 0) {
            EXPECT_EQ(leading, kRows) << send.Err();
        }
    }
}

// Record line 5 is refused. One scale then says "Mr" out of turn, before row
// 5 goes out again; the other answers everything twice, 150 ms apart, so an
// earlier row's second "Mr" can land while row 5 is out. Neither may be
// reported sent: the scale answered more often than it was asked.
TEST_F(SendTest, AScaleThatAnswersMoreOftenThanAskedIsNotReportedSent) {
    SimProcess stray, twice;
    stray.Start({"--tcp", "--wrong-every", "5", "--stray-after", "6"}); // command 6 is row 5
    twice.Start({"--tcp", "--wrong-every", "5", "--double", "--double-gap", "150"});
    SendProcess send(dir_);
    const std::string table = Table(8);
    for (SimProcess* sim : {&stray, &twice}) {
        EXPECT_EQ(send.Run({table, Tcp(sim->Port()), "--timeout", "2"}), 1) << send.Out() << send.Err();
        const std::string line = LineOf(send.Out(), Tcp(sim->Port()));
        EXPECT_TRUE(std::regex_search(
            line, std::regex("FAILED at row \\d of 8: the scale answered (\\d+) times to \\d+ commands?; "
                             "it may not hold the table$")))
            << line;
        if (sim == &stray) {
            EXPECT_NE(line.find("FAILED at row 5 of 8: the scale answered 7 times to 6 commands"),
                      std::string::npos);
        }
    }
}

// A busy scale reads the start command and its resend at once and answers
// both in one write: two replies, each its own, and the table goes on.
TEST_F(SendTest, TwoRepliesInOneReadAreTwoReplies) {
    SimProcess sim;
    sim.Start({"--tcp", "--hold", "1500", "--log", sim.LogPath()});
    SendProcess send(dir_);
    // The start goes out again after 1 s; the scale answers both at 1.5 s, before the second time-out.
    EXPECT_EQ(send.Run({Table(3), Tcp(sim.Port()), "--timeout", "1", "--retries", "1"}), 0)
        << send.Out() << send.Err();
    EXPECT_EQ(sim.ReadLog(), "SbP\r\n" + Wire(3));
}
