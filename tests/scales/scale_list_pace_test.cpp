#include <gtest/gtest.h>

#include "scales/ScaleList.h"

using scales::ScaleEntry;
using scales::ScaleList;

namespace {

// A list as versions without a pace wrote it: every scale reads at the window's 100 ms,
// and editing one line leaves the others, and the list's own words, as they were.
TEST(ScaleListPace, AListWrittenBeforePacesReadsAtTheWindowsPauseAndKeepsItsBytes) {
    const std::string older = "# the shop\r\n"
                              "tcp:192.0.2.10:4001  Deli counter\r\n"
                              "-udp:192.0.2.11:4001  Bakery\r\n"
                              "serial:/dev/ttyUSB0@9600,8N1\r\n"
                              "tcp:192.0.2.12:4001  pace=fast lane\r\n";
    ScaleList list = ScaleList::Parse(older);
    ASSERT_TRUE(list.Ok()) << list.Messages().front();
    ASSERT_EQ(list.Entries().size(), 4u);
    for (const ScaleEntry& e : list.Entries())
        EXPECT_EQ(e.pace, 100) << e.target;
    // Only "pace=" and digits is a pace: a name that merely begins with the word stays a name.
    EXPECT_EQ(list.Entries()[3].name, "pace=fast lane");
    EXPECT_EQ(list.Text(), older);

    ScaleEntry deli = list.Entries()[0];
    deli.pace = 0;
    ASSERT_EQ(list.Replace(0, deli), "");
    EXPECT_EQ(list.Text(), "# the shop\r\n"
                           "tcp:192.0.2.10:4001 pace=0  Deli counter\r\n"
                           "-udp:192.0.2.11:4001  Bakery\r\n"
                           "serial:/dev/ttyUSB0@9600,8N1\r\n"
                           "tcp:192.0.2.12:4001  pace=fast lane\r\n");
    // Back at the default, the line is what an older version wrote.
    deli.pace = 100;
    ASSERT_EQ(list.Replace(0, deli), "");
    EXPECT_EQ(list.Text(), older);
}

TEST(ScaleListPace, APaceReadsBackAsWrittenAndABadOneIsAProblemOfItsLine) {
    ScaleList list = ScaleList::Parse("tcp:192.0.2.10:4001 pace=0  Deli counter\n"
                                      "-tcp:192.0.2.11:4001  pace=250\n"
                                      "tcp:192.0.2.12:4001 pace=60001  Fish\n"
                                      "tcp:192.0.2.13:4001 pace=99999999999  Cheese\n");
    ASSERT_EQ(list.Entries().size(), 2u);
    EXPECT_EQ(list.Entries()[0].pace, 0);
    EXPECT_EQ(list.Entries()[0].name, "Deli counter");
    EXPECT_EQ(list.Entries()[1].pace, 250);
    EXPECT_EQ(list.Entries()[1].name, "");
    EXPECT_FALSE(list.Entries()[1].enabled);
    ASSERT_EQ(list.Messages().size(), 2u);
    EXPECT_EQ(list.Messages()[0], "scales:3: pace=60001: expected milliseconds from 0 to 60000");
    EXPECT_EQ(list.Messages()[1], "scales:4: pace=99999999999: expected milliseconds from 0 to 60000");

    // A name that would read back as a pace is written after the pace, even the default one.
    ScaleList edited;
    ASSERT_EQ(edited.Add({"tcp:192.0.2.20:4001", "pace=5 Bakery", true, 0, 100}), "");
    ASSERT_EQ(edited.Add({"tcp:192.0.2.21:4001", "pace=7", true, 0, 0}), "");
    EXPECT_EQ(edited.Add({"tcp:192.0.2.22:4001", "Late", true, 0, 60001}),
              "the pace must be from 0 to 60000 ms");
    EXPECT_EQ(edited.Add({"tcp:192.0.2.22:4001", "Late", true, 0, -1}),
              "the pace must be from 0 to 60000 ms");
    const ScaleList reread = ScaleList::Parse(edited.Text());
    ASSERT_EQ(reread.Entries().size(), 2u) << edited.Text();
    EXPECT_EQ(reread.Entries()[0].name, "pace=5 Bakery");
    EXPECT_EQ(reread.Entries()[0].pace, 100);
    EXPECT_EQ(reread.Entries()[1].name, "pace=7");
    EXPECT_EQ(reread.Entries()[1].pace, 0);
}

} // namespace
