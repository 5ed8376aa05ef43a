#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include "platform/AtomicFile.h"
#include "scales/ScaleList.h"

using scales::ScaleEntry;
using scales::ScaleList;

namespace {

// Stands in for the command's target parser: a kind, a colon and something after it.
std::string CheckTarget(const std::string& t) {
    for (const char* kind : {"tcp:", "udp:", "serial:"})
        if (t.rfind(kind, 0) == 0 && t.size() > std::string(kind).size()) return {};
    return "not a target: " + t;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ScaleList, ReadsTargetsNamesSwitchedOffScalesAndComments) {
    const std::string text = "# the shop's scales\n"
                             "\n"
                             "tcp:192.0.2.10:4001  Deli counter\n"
                             "   # an indented comment\n"
                             "-udp:[::1]:4001\tBakery   \n"
                             "- serial:/dev/ttyUSB0@9600,8N1 Fish & chips  #2\n"
                             "  tcp:192.0.2.11:4001\n"
                             "tcp:192.0.2.12:4001 Wędliny – Käse 🧀\n";
    ScaleList list = ScaleList::Parse(text, CheckTarget);
    ASSERT_TRUE(list.Ok()) << list.Messages().front();
    const auto& e = list.Entries();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].target, "tcp:192.0.2.10:4001");
    EXPECT_EQ(e[0].name, "Deli counter");
    EXPECT_TRUE(e[0].enabled);
    EXPECT_EQ(e[0].line, 3);
    EXPECT_EQ(e[1].target, "udp:[::1]:4001");
    EXPECT_EQ(e[1].name, "Bakery");
    EXPECT_FALSE(e[1].enabled);
    // A "#" after the target is part of the name: only a line's first non-blank starts a comment.
    EXPECT_EQ(e[2].target, "serial:/dev/ttyUSB0@9600,8N1");
    EXPECT_EQ(e[2].name, "Fish & chips  #2");
    EXPECT_FALSE(e[2].enabled);
    EXPECT_EQ(e[3].name, "");
    EXPECT_EQ(e[3].line, 7);
    EXPECT_EQ(e[4].name, "Wędliny – Käse 🧀");

    const auto on = list.Enabled();
    ASSERT_EQ(on.size(), 3u);
    EXPECT_EQ(on[1].target, "tcp:192.0.2.11:4001");
    EXPECT_EQ(list.Find("udp:[::1]:4001"), 1);
    EXPECT_EQ(list.Find("udp:[::1]:4002"), -1);
    // CR LF endings read the same.
    ScaleList crlf = ScaleList::Parse("tcp:192.0.2.10:4001  Deli\r\n-tcp:192.0.2.11:4001\r\n", CheckTarget);
    ASSERT_EQ(crlf.Entries().size(), 2u);
    EXPECT_EQ(crlf.Entries()[0].name, "Deli");
    EXPECT_EQ(crlf.Entries()[1].target, "tcp:192.0.2.11:4001");
}

TEST(ScaleList, ReportsEveryBadLineWithItsNumberAndKeepsTheGoodOnes) {
    const std::string text = "tcp:192.0.2.10:4001  Deli\n"        // 1
                             "bogus  Bakery\n"                    // 2
                             "-\n"                                // 3
                             "tcp:192.0.2.11:4001  Ta\x01ps\n"    // 4
                             "tcp:192.0.2.12:4001  Caf\xE9\n"     // 5: Latin-1, not UTF-8
                             "# fine\n"                           // 6
                             "-tcp:192.0.2.10:4001  Deli again\n" // 7
                             "tcp:192.0.2.13:4001  Cheese\n";     // 8
    ScaleList list = ScaleList::Parse(text, CheckTarget);
    EXPECT_FALSE(list.Ok());
    const std::vector<std::string> expected = {
        "scales:2: not a target: bogus",
        "scales:3: \"-\" without a target",
        "scales:4: the name holds a control character",
        "scales:5: the name is not valid UTF-8",
        "scales:7: tcp:192.0.2.10:4001 is already on line 1",
    };
    EXPECT_EQ(list.Messages(), expected);
    ASSERT_EQ(list.Entries().size(), 2u);
    EXPECT_EQ(list.Entries()[1].name, "Cheese");
    EXPECT_EQ(list.Entries()[1].line, 8);

    // A validator that throws is heard like one that answers.
    ScaleList thrown = ScaleList::Parse(
        "tcp:x\n", [](const std::string&) -> std::string { throw std::runtime_error("bad port in tcp:x"); });
    EXPECT_EQ(thrown.Messages(), std::vector<std::string>{"scales:1: bad port in tcp:x"});

    // The label is the caller's: a targets file names itself.
    ScaleList other = ScaleList::Parse("\n\n#x\n-#tcp:1\n", {}, "/tmp/shops.txt");
    ASSERT_EQ(other.Messages().size(), 1u);
    EXPECT_EQ(other.Messages()[0], "/tmp/shops.txt:4: a target cannot begin with \"#\"");
}

TEST(ScaleList, EditingChangesOnlyTheEditedLinesAndWritesTheFileAtomically) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.path().toStdString() + "/scales";
    const std::string before = "# Shop 12\r\n"
                               "tcp:192.0.2.10:4001    Deli   counter\r\n"
                               "\r\n"
                               "bogus line kept as the user wrote it\r\n"
                               "  -tcp:192.0.2.11:4001\tBakery\r\n"
                               "tcp:192.0.2.12:4001  Fish\r\n"
                               "# end"; // no line end
    platform::WriteFileAtomically(path, before);
    ScaleList list = scales::ReadScaleList(path, CheckTarget, "scales");
    EXPECT_FALSE(list.Missing());
    ASSERT_EQ(list.Messages().size(), 1u);
    ASSERT_EQ(list.Entries().size(), 3u);

    // Switching the bakery on rewrites its line only.
    ScaleEntry bakery = list.Entries()[1];
    bakery.enabled = true;
    EXPECT_EQ(list.Replace(1, bakery), "");
    EXPECT_TRUE(list.Remove(2));
    EXPECT_EQ(list.Add({"udp:192.0.2.20:4001", "  New\tscale ", false, 0}), "");
    scales::WriteScaleList(path, list);
    EXPECT_EQ(ReadFile(path), "# Shop 12\r\n"
                              "tcp:192.0.2.10:4001    Deli   counter\r\n"
                              "\r\n"
                              "bogus line kept as the user wrote it\r\n"
                              "tcp:192.0.2.11:4001  Bakery\r\n"
                              "# end\r\n"
                              "-udp:192.0.2.20:4001  New\tscale\r\n");
    EXPECT_EQ(list.Entries()[2].line, 7);
    EXPECT_EQ(list.Entries()[2].name, "New\tscale");

    // What was written reads back as the same entries.
    ScaleList again = scales::ReadScaleList(path, CheckTarget);
    ASSERT_EQ(again.Entries().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(again.Entries()[i].target, list.Entries()[i].target);
        EXPECT_EQ(again.Entries()[i].name, list.Entries()[i].name);
        EXPECT_EQ(again.Entries()[i].enabled, list.Entries()[i].enabled);
        EXPECT_EQ(again.Entries()[i].line, list.Entries()[i].line);
    }
    // The replaced file took the old one's place: no temporary file stays behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"scales"});
}

TEST(ScaleList, RefusesEditsThatCouldNotBeReadBackAndChangesNothing) {
    ScaleList list = ScaleList::Parse("tcp:192.0.2.10:4001  Deli\ntcp:192.0.2.11:4001  Fish\n", CheckTarget);
    const std::string text = list.Text();
    EXPECT_EQ(list.Add({"tcp:192.0.2.12:4001", "two\nlines", true, 0}), "a name cannot hold a line end");
    EXPECT_EQ(list.Add({"tcp:192.0.2.12:4001", "bell\a", true, 0}), "the name holds a control character");
    EXPECT_EQ(list.Add({"tcp:192.0.2.10:4001", "Deli twice", true, 0}),
              "tcp:192.0.2.10:4001 is already in the list");
    EXPECT_EQ(list.Add({"tcp:192.0.2.12 4001", "", true, 0}), "a target holds no blank");
    EXPECT_EQ(list.Add({"", "nothing", true, 0}), "no target");
    EXPECT_EQ(list.Add({std::string("tcp:192.0.2.12:4001\0", 20), "", true, 0}),
              "the target holds a control character");
    EXPECT_EQ(list.Add({"-tcp:192.0.2.12:4001", "", true, 0}), "a target cannot begin with \"-\"");
    EXPECT_EQ(list.Add({"ftp:x", "", true, 0}), "not a target: ftp:x");
    EXPECT_EQ(list.Replace(1, {"tcp:192.0.2.10:4001", "Fish", true, 0}),
              "tcp:192.0.2.10:4001 is already in the list");
    EXPECT_EQ(list.Replace(5, {"tcp:192.0.2.13:4001", "", true, 0}), "no such scale");
    EXPECT_FALSE(list.Remove(2));
    EXPECT_EQ(list.Text(), text);
    // An entry may keep its own target when edited.
    EXPECT_EQ(list.Replace(1, {"tcp:192.0.2.11:4001", "Fish and more", false, 0}), "");
    EXPECT_EQ(list.Text(), "tcp:192.0.2.10:4001  Deli\n-tcp:192.0.2.11:4001  Fish and more\n");
}

TEST(ScaleList, LoneCrLineEndsReadAsInTheSettingsFiles) {
    // Each lone CR ends a line, new lines end the same way, every other line stays as it was.
    const std::string cr = "# Shop 12\rtcp:192.0.2.10:4001  Deli\r\r-tcp:192.0.2.11:4001  Fish\r";
    ScaleList old = ScaleList::Parse(cr, CheckTarget);
    EXPECT_TRUE(old.Ok());
    ASSERT_EQ(old.Entries().size(), 2u);
    EXPECT_EQ(old.Entries()[0].name, "Deli");
    EXPECT_EQ(old.Entries()[1].line, 4);
    EXPECT_EQ(old.Replace(0, {"tcp:192.0.2.10:4001", "Deli counter", true, 0}), "");
    EXPECT_EQ(old.Add({"tcp:192.0.2.12:4001", "Cheese", true, 0}), "");
    EXPECT_EQ(old.Text(), "# Shop 12\rtcp:192.0.2.10:4001  Deli counter\r\r-tcp:192.0.2.11:4001  "
                          "Fish\rtcp:192.0.2.12:4001  Cheese\r");
}

TEST(ScaleList, MissingFileIsAnEmptyListAndAnUnreadableOneAProblem) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string root = dir.path().toStdString();
    ScaleList none = scales::ReadScaleList(root + "/scales", CheckTarget);
    EXPECT_TRUE(none.Missing());
    EXPECT_TRUE(none.Ok());
    EXPECT_TRUE(none.Entries().empty());
    // The board's first scale makes the file.
    EXPECT_EQ(none.Add({"tcp:192.0.2.10:4001", "Deli", true, 0}), "");
    scales::WriteScaleList(root + "/scales", none);
    EXPECT_EQ(ReadFile(root + "/scales"), "tcp:192.0.2.10:4001  Deli\n");

    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    ScaleList fifo = scales::ReadScaleList(root + "/fifo", CheckTarget, "scales"); // must not block
    EXPECT_FALSE(fifo.Missing());
    EXPECT_EQ(fifo.Messages(), std::vector<std::string>{"scales: cannot read the list: not a regular file"});
}

TEST(ScaleList, AByteOrderMarkBeforeTheFirstTargetIsNotPartOfIt) {
    const ScaleList list = ScaleList::Parse("\xEF\xBB\xBFtcp:192.0.2.10:4001  Deli\n");
    ASSERT_TRUE(list.Ok()) << list.Messages().front();
    ASSERT_EQ(list.Entries().size(), 1u);
    EXPECT_EQ(list.Entries()[0].target, "tcp:192.0.2.10:4001");
    EXPECT_EQ(list.Entries()[0].name, "Deli");
}

} // namespace
