#include "send/SendTestUtil.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace sendtest;

namespace {

std::string Hex(unsigned char c) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    return buf;
}

TEST_F(SendTest, DryRunPrintsEveryByteValueEscapedWithEachLinksFramingAndConnectsNowhere) {
    // Every byte a cell can hold: all but LF, CR, the separator and 26, which shape the file.
    std::string cell, shown;
    for (int b = 0; b <= 255; ++b) {
        const auto c = static_cast<unsigned char>(b);
        if (c == '\n' || c == '\r' || c == ';' || c == 26) continue;
        cell += static_cast<char>(c);
        shown += c == '\\'                 ? "\\\\"
                 : c == '\t'               ? "\\t"
                 : c == 0                  ? "\\0"
                 : (c >= 0x20 && c < 0x7F) ? std::string(1, static_cast<char>(c))
                                           : Hex(c);
    }
    const std::string table = Write("bytes.csv", cell + ";x\nlast\n");
    SendProcess send(dir_);
    ASSERT_EQ(send.Run({table, "--dry-run", "tcp:127.0.0.1:9", "serial:/dev/nonexistent", "--user"}), 0)
        << send.Err();
    EXPECT_EQ(send.Out(), "# tcp:127.0.0.1:9 serial:/dev/nonexistent\n"
                          "# pace 100 ms\n"
                          "SbU\\r\\n\n"
                          "Sr" +
                              shown +
                              ";x\\r\\n\n"
                              "Srlast;\\r\\n\n"
                              "Se\\r\\n\n");
    // UDP: the one-byte start datagram first; a NUL cannot be in a record there.
    const std::string noNul = Write("nonul.csv", cell.substr(1) + ";x\nlast\n");
    ASSERT_EQ(send.Run({noNul, "--dry-run", "udp:127.0.0.1:9", "--user"}), 0) << send.Err();
    EXPECT_EQ(send.Out(), "# udp:127.0.0.1:9\n"
                          "# pace 100 ms\n"
                          "\\0\n"
                          "SbU\\0\n"
                          "Sr" +
                              shown.substr(2) +
                              ";x\\0\n"
                              "Srlast;\\0\n"
                              "Se\\0\n");
}

TEST_F(SendTest, AByteThatWouldEndACommandEarlyStopsTheRunNamingRowAndColumn) {
    const std::string nul = Write("nul.csv", std::string("1;ok\n2;a\0b\n", 11));
    const std::string cdot = Write("cdot.csv", "1;ok\n2;\xC4\x8A\n"); // U+010A, "0A 01" in UTF-16LE
    const std::string big = Write("big.csv", "1;ok\n" + std::string(65504, 'x') + "\n");
    // Row 1's record is padded to the widest row: its 65,504 separators.
    const std::string wide = Write("wide.csv", "1\n" + std::string(65504, ';') + "\n");
    SendProcess send(dir_);
    // Serial and TCP carry a NUL inside the line; UDP ends the command there.
    EXPECT_EQ(send.Run({nul, "--dry-run", "tcp:127.0.0.1:9"}), 0);
    // One byte less fits, and a line has no such limit.
    EXPECT_EQ(send.Run({Write("fits.csv", std::string(65504, 'x') + "\n"), "--dry-run", "udp:127.0.0.1:9"}),
              0)
        << send.Err();
    EXPECT_EQ(send.Run({big, "--dry-run", "tcp:127.0.0.1:9"}), 0) << send.Err();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{nul, "udp:127.0.0.1:9", "tcp:127.0.0.1:9"},
         nul + ": row 2, column 2: \"\\0\" cannot be sent: a NUL byte ends the command over UDP; nothing "
               "was sent"},
        {{cdot, "--encoding", "UTF-8:UTF-16LE", "tcp:127.0.0.1:9", "serial:/dev/nonexistent"},
         cdot + ": row 2, column 2: converted from UTF-8 to UTF-16LE it holds an LF byte, which ends the "
                "command's line over serial and TCP; nothing was sent"},
        {{cdot, "--encoding", "UTF-8:UTF-16BE", "udp:127.0.0.1:9"},
         cdot + ": row 1, column 1: converted from UTF-8 to UTF-16BE it holds a NUL byte, which ends the "
                "command over UDP; nothing was sent"},
        // "Sr", the record and the zero byte must fit one datagram; a wider row pads the others.
        {{big, "udp:127.0.0.1:9"},
         big + ": row 2: its command is 65508 bytes, more than one UDP datagram holds (65507); nothing was "
               "sent"},
        {{wide, "--dry-run", "udp:127.0.0.1:9"},
         wide + ": row 1: its command is 65508 bytes, more than one UDP datagram holds (65507); nothing was "
                "sent"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        EXPECT_EQ(send.Run(args), 2);
        EXPECT_EQ(Lines(send.Err())[0], "scaledb-send: " + message);
        EXPECT_EQ(send.Out(), "");
    }
}

TEST_F(SendTest, AWideRowDoesNotWidenEveryRecordInMemoryBeforeTheRun) {
#if defined(SCALEDB_TSAN)
    GTEST_SKIP() << "ThreadSanitizer reserves its shadow memory up front: its allocator fails under an "
                    "address-space limit, and it has no memory limit that stops the program";
#endif
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's shadow memory does not fit an address-space limit; it has a limit of its own.
    const std::string limit = "ASAN_OPTIONS=$ASAN_OPTIONS:hard_rss_limit_mb=400 && export ASAN_OPTIONS";
#else
    const std::string limit = "ulimit -v 300000";
#endif
    // One row of a million ";" and half a million short ones: padded up front, 500 GB.
    std::string table(1000000, ';');
    table += '\n';
    for (int r = 0; r < 500000; ++r)
        table += "1\n";
    table += "\xCE\xA9\n"; // the check must reach the last row
    const std::string wide = Write("wide.csv", table);
    SendProcess send(dir_, "/bin/sh");
    EXPECT_EQ(send.Run({"-c", limit + " && exec \"$0\" \"$@\"", SCALEDB_BIN_DIR "/scaledb-send", "--encoding",
                        "UTF-8:CP1250", wide, "tcp:127.0.0.1:9"}),
              2);
    EXPECT_EQ(Lines(send.Err())[0], "scaledb-send: " + wide +
                                        ": row 500002, column 1: \"\\xCE\\xA9\" cannot be converted "
                                        "from UTF-8 to CP1250; nothing was sent");
}

TEST_F(SendTest, EncodingConvertsEveryRecordAndAnUnconvertibleCharacterStopsBeforeAnyConnection) {
    const std::string cheese =
        Write("cheese.csv", "1;\xC5\xBB\xC3\xB3\xC5\x82ty ser\n"); // "Żółty ser" in UTF-8
    SendProcess send(dir_);
    ASSERT_EQ(send.Run({cheese, "--dry-run", "--encoding", "UTF-8:CP1250", "tcp:127.0.0.1:9"}), 0)
        << send.Err();
    EXPECT_EQ(Lines(send.Out())[3], "Sr1;\\xAF\\xF3\\xB3ty ser\\r\\n");

    // A scale that would accept the connection, to see that none is made.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string omega = Write("omega.csv", "1;ok;ok\n2;ok;\xCE\xA9mega\n");
    EXPECT_EQ(send.Run({omega, "--encoding", "UTF-8:CP1250", Tcp(ntohs(a.sin_port))}), 2);
    EXPECT_EQ(Lines(send.Err())[0],
              "scaledb-send: " + omega +
                  ": row 2, column 3: \"\\xCE\\xA9\" cannot be converted from UTF-8 to CP1250; "
                  "nothing was sent");
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0); // no connection attempt ever came
    ::close(listener);
    EXPECT_EQ(send.Run({omega, "--encoding", "UTF-8:NO-SUCH-PAGE", "tcp:127.0.0.1:9"}), 2);
}

TEST_F(SendTest, WithoutTargetsTheWindowsOwnSettingsNameTheLinkAndStayUntouched) {
    // A copy of the program in a folder of its own, with the window's settings files beside it.
    const std::string program = Path("scaledb-send");
    std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program);
    const std::string table = Write("example.csv", kWorkedExample);
    SimProcess tcp;
    tcp.Start({"--tcp", "--log", tcp.LogPath()});
    const std::string config =
        "<TesmarConfig><Interface><Kind>Eth</Kind><Protocol>TCP</Protocol><Host>127.0.0.1</Host>"
        "<Port>" +
        std::to_string(tcp.Port()) + "</Port></Interface></TesmarConfig>";
    Write("config.xml", config);
    SendProcess send(dir_, program);
    ASSERT_EQ(send.Run({table}), 0) << send.Err();
    EXPECT_EQ(send.Out().rfind(Tcp(tcp.Port()) + "  sent 2 of 2 rows in ", 0), 0u) << send.Out();
    EXPECT_EQ(tcp.ReadLog(), kWorkedExampleWire);
    EXPECT_EQ(SendProcess::Read(Path("config.xml")), config);
    EXPECT_FALSE(std::filesystem::exists(Path("ComPortTest.ini")));

    // Serial: config.xml says COM (or is missing), ComPortTest.ini names the port.
    std::filesystem::remove(Path("config.xml"));
    SimProcess pty;
    pty.Start({"--serial", "--log", pty.LogPath()});
    Write("ComPortTest.ini", "[ComPort1]\nPort=" + pty.PortText() + "\nBaudRate=115200\n");
    ASSERT_EQ(send.Run({table, "--user"}), 0) << send.Err();
    EXPECT_EQ(send.Out().rfind("serial:" + pty.PortText() + "  sent 2 of 2 rows", 0), 0u) << send.Out();
    EXPECT_EQ(pty.ReadLog(), "SbU" + kWorkedExampleWire.substr(3));
    EXPECT_FALSE(std::filesystem::exists(Path("config.xml")));
}

TEST_F(SendTest, TheWindowsIpv6HostMakesADefaultTargetInBrackets) {
    // Its colons would otherwise run into the port's in every line the command writes.
    const std::string program = Path("scaledb-send");
    std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program);
    Write("config.xml", "<TesmarConfig><Interface><Kind>Eth</Kind><Protocol>UDP</Protocol><Host>::1</Host>"
                        "<Port>4001</Port></Interface></TesmarConfig>");
    SendProcess send(dir_, program);
    ASSERT_EQ(send.Run({Table(1), "--dry-run"}), 0) << send.Err();
    EXPECT_EQ(Lines(send.Out())[0], "# udp:[::1]:4001");
}

TEST_F(SendTest, BadUsageAndUnreadableInputsExitTwoSayingWhy) {
    const std::string table = Table(1);
    const std::string targets = Write("targets", "# the shop\n\n  tcp:127.0.0.1:9  \nudp:127.0.0.1:9\n");
    SendProcess send(dir_);
    ASSERT_EQ(send.Run({table, "--dry-run", "--targets", targets, "serial:COM3@19200,7E2"}), 0) << send.Err();
    EXPECT_EQ(Lines(send.Out())[0], "# serial:COM3@19200,7E2 tcp:127.0.0.1:9");

    std::filesystem::create_symlink("/dev/null", Path("null"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no table given"},
        {{table, "tcp:127.0.0.1"}, "bad target \"tcp:127.0.0.1\": expected tcp:HOST:PORT"},
        {{table, "udp:127.0.0.1:70000"},
         "bad target \"udp:127.0.0.1:70000\": the port is a number from 1 to 65535"},
        {{table, "serial:COM1@fast"},
         "bad target \"serial:COM1@fast\": the rate is a whole number of bits per second"},
        {{table, "ftp:x"},
         "bad target \"ftp:x\": expected serial:DEVICE[@RATE[,8N1]], tcp:HOST:PORT or udp:HOST:PORT"},
        {{table, "tcp:127.0.0.1:9", "tcp:127.0.0.1:9"}, "target tcp:127.0.0.1:9 is given twice"},
        // One scale under two spellings, found before anything is sent.
        {{table, "udp:127.0.0.1:9", "udp:localhost:9"},
         "udp:127.0.0.1:9 and udp:localhost:9 are the same scale (127.0.0.1:9); name it once"},
        {{table, "--dry-run", "udp:127.0.0.1:9", "udp:localhost:9"},
         "udp:127.0.0.1:9 and udp:localhost:9 are the same scale (127.0.0.1:9); name it once"},
        {{table, "udp:127.0.0.1:9", "udp:127.0.0.1:09"},
         "udp:127.0.0.1:9 and udp:127.0.0.1:09 are the same scale (127.0.0.1:9); name it once"},
        {{table, "tcp:[::1]:9", "tcp:[0::1]:9"},
         "tcp:[::1]:9 and tcp:[0::1]:9 are the same scale ([::1]:9); name it once"},
        {{table, "serial:/dev/null", "serial:" + Path("null")},
         "serial:/dev/null and serial:" + Path("null") + " are the same scale (/dev/null); name it once"},
        {{table, "--timeout", "0"},
         "--timeout: expected seconds greater than 0 and at most 86400, got \"0\""},
        {{table, "--timeout", "2147483"},
         "--timeout: expected seconds greater than 0 and at most 86400, got \"2147483\""},
        {{table, "--retries", "-1"}, "--retries: expected a whole number from 0 to 1000000, got \"-1\""},
        {{table, "--pace", "60001"}, "--pace: expected milliseconds from 0 to 60000, got \"60001\""},
        {{table, "--pace", "0.5"}, "--pace: expected milliseconds from 0 to 60000, got \"0.5\""},
        {{table, "--encoding", "UTF-8"}, "--encoding: expected FROM:TO (e.g. UTF-8:CP1250), got \"UTF-8\""},
        {{table, "--bogus"}, "Unknown option 'bogus'."},
        {{Path("missing.csv"), "tcp:127.0.0.1:9"},
         "cannot read the table " + Path("missing.csv") + ": No such file or directory"},
        {{table, "--targets", Path("missing")}, "cannot read the targets file " + Path("missing")},
        // Neither a folder nor a named pipe that nobody writes to stops the run or waits.
        {{table, "--targets", Path("")}, "cannot read the targets file " + Path("") + ": it is a folder"},
        {{table, "--targets", Fifo("fifo")},
         "cannot read the targets file " + Path("fifo") + ": nothing writes to that pipe"},
        // An empty list never falls back to the window's link (--dry-run: nothing is opened either way).
        {{table, "--dry-run", "--targets", Write("comments", "# the shop\n\n")},
         "no targets in " + Path("comments")},
        {{table, "--dry-run", "--targets", "/dev/null", "tcp:127.0.0.1:9"}, "no targets in /dev/null"},
        {{table, "--targets", Write("bad", "tcp:127.0.0.1:9\nnonsense\n")},
         Path("bad") + ":2: bad target \"nonsense\": expected serial:DEVICE[@RATE[,8N1]], tcp:HOST:PORT or "
                       "udp:HOST:PORT"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        EXPECT_EQ(send.Run(args), 2);
        EXPECT_EQ(send.Err(), "scaledb-send: " + message + "\nTry 'scaledb-send --help'.\n");
        EXPECT_EQ(send.Out(), "");
    }
    EXPECT_EQ(send.Run({"--version"}), 0);
    EXPECT_EQ(send.Out(), "scaledb-send 1.01\n");
    EXPECT_EQ(send.Run({"--help"}), 0);
    EXPECT_NE(send.Out().find("serial:DEVICE[@RATE[,8N1]]"), std::string::npos);
}

} // namespace
