// --pace 0: the next command goes out as soon as the acknowledgement is in, and
// every rule of what counts as acknowledged holds as at the window's pause.
#include "send/SendTestUtil.h"

#include <regex>
#include <set>

using namespace sendtest;

namespace {

TEST_F(SendTest, AtPaceZeroTheScaleHearsTheSameBytesAndTheReportSaysThePace) {
    SimProcess sim;
    sim.Start({"--tcp", "--log", sim.LogPath()});
    SendProcess send(dir_);
    ASSERT_EQ(send.Run({Table(20), Tcp(sim.Port()), "--pace", "0", "--json"}), 0) << send.Err();
    EXPECT_EQ(sim.ReadLog(), Wire(20));
    EXPECT_NE(LineOf(send.Err(), Tcp(sim.Port())).find("  sent 20 of 20 rows in "), std::string::npos);
    EXPECT_NE(LineOf(send.Err(), Tcp(sim.Port())).find(" s at pace 0 ms"), std::string::npos) << send.Err();
    EXPECT_EQ(Json(send.Out())["targets"].toArray()[0].toObject()["pace_ms"].toInt(), 0);

    // The dry run groups the targets by their pace: --pace is every target's, a list's
    // pace=MS its own scale's otherwise.
    const std::string list = Write("shop", "tcp:127.0.0.1:9 pace=0  Deli\ntcp:127.0.0.1:10  Bakery\n");
    ASSERT_EQ(send.Run({Write("one.csv", "a\n"), "--dry-run", "--targets", list}), 0) << send.Err();
    EXPECT_EQ(send.Out(), "# tcp:127.0.0.1:9\n# pace 0 ms\nSbP\\r\\n\nSra\\r\\n\nSe\\r\\n\n"
                          "# tcp:127.0.0.1:10\n# pace 100 ms\nSbP\\r\\n\nSra\\r\\n\nSe\\r\\n\n");
    ASSERT_EQ(send.Run({Write("one.csv", "a\n"), "--dry-run", "--targets", list, "--pace", "250"}), 0);
    EXPECT_EQ(Lines(send.Out())[0], "# tcp:127.0.0.1:9 tcp:127.0.0.1:10");
    EXPECT_EQ(Lines(send.Out())[1], "# pace 250 ms");
}

// Time-outs and refusals end a scale where they did at the window's pause, with the same words.
TEST_F(SendTest, AtPaceZeroASilentScaleAndARefusedRowFailAsAtTheWindowsPause) {
    SimProcess silent, refusing;
    silent.Start({"--tcp", "--silent-after", "3", "--log", silent.LogPath()});
    refusing.Start({"--serial", "--refuse-row", "5", "--log", refusing.LogPath()});
    SendProcess send(dir_);
    EXPECT_EQ(send.Run({Table(8), Tcp(silent.Port()), "serial:" + refusing.PortText(), "--timeout", "0.3",
                        "--retries", "2", "--pace", "0"}),
              1);
    EXPECT_EQ(LineOf(send.Out(), Tcp(silent.Port())),
              Tcp(silent.Port()) +
                  "  FAILED at row 3 of 8: no reply to \"Sr3;...\" after 3 tries (0.3 s each)");
    EXPECT_EQ(silent.ReadLog(), std::string("SbP\r\nSr1;Item 1;1.00\r\nSr2;Item 2;2.00\r\n") +
                                    "Sr3;Item 3;3.00\r\nSr3;Item 3;3.00\r\nSr3;Item 3;3.00\r\n");
    EXPECT_NE(LineOf(send.Out(), "serial:" + refusing.PortText())
                  .find("  FAILED at row 5 of 8: \"Mx\" instead of \"Mr\" to \"Sr5;...\" after 3 tries"),
              std::string::npos)
        << send.Out();
    const std::string row5 = "Sr5;Item 5;5.00\r\n";
    EXPECT_EQ(refusing.ReadLog(), Wire(4).substr(0, Wire(4).size() - 4) + row5 + row5 + row5);
}

// Replies that reach the sender together are each one reply, matched before the next
// command goes out: a scale that answers twice in one write fails at once, and two copies
// answered in one write still carry the table on.
TEST_F(SendTest, AtPaceZeroEveryReplyOfOneReadIsMatchedBeforeTheNextCommand) {
    SimProcess twice, busy;
    twice.Start({"--tcp", "--double", "--double-gap", "0", "--hold", "1"});
    busy.Start({"--tcp", "--hold", "1500", "--log", busy.LogPath()});
    SendProcess send(dir_);
    EXPECT_EQ(send.Run({Table(8), Tcp(twice.Port()), "--timeout", "2", "--pace", "0"}), 1) << send.Err();
    const std::string line = LineOf(send.Out(), Tcp(twice.Port()));
    EXPECT_TRUE(std::regex_search(
        line,
        std::regex("FAILED (before|at) row \\d of 8: the scale answered (\\d+) times to \\d+ commands?; "
                   "it may not hold the table$")))
        << line;
    // The start goes out again after 1 s; both answers come at 1.5 s, in one write.
    EXPECT_EQ(send.Run({Table(3), Tcp(busy.Port()), "--timeout", "1", "--retries", "1", "--pace", "0"}), 0)
        << send.Out() << send.Err();
    EXPECT_EQ(busy.ReadLog(), "SbP\r\n" + Wire(3));
}

} // namespace
