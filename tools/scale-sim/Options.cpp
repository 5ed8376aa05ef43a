#include "Options.h"

#include <charconv>
#include <limits>

namespace scalesim {

namespace {

std::uint64_t ParseCount(const std::string& name, const std::string& text, std::uint64_t max) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value > max)
        throw UsageError(name + ": expected a whole number from 0 to " + std::to_string(max) + ", got \"" +
                         text + "\"");
    return value;
}

} // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
            return args[++i];
        };
        auto flag = [&] {
            if (inlineValue) throw UsageError(name + " takes no value");
        };
        auto setMode = [&](Mode m) {
            flag();
            if (o.mode != Mode::None && o.mode != m) throw UsageError("choose one of --serial, --tcp, --udp");
            o.mode = m;
        };

        if (name == "--help" || name == "-h") {
            flag();
            o.help = true;
        } else if (name == "--serial") {
            setMode(Mode::Serial);
        } else if (name == "--tcp") {
            setMode(Mode::Tcp);
        } else if (name == "--udp") {
            setMode(Mode::Udp);
        } else if (name == "--port") {
            o.port = static_cast<int>(ParseCount(name, value(), 65535));
        } else if (name == "--reply-port") {
            o.replyPort = static_cast<int>(ParseCount(name, value(), 65535));
        } else if (name == "--log") {
            o.logPath = value();
            if (o.logPath.empty()) throw UsageError("--log needs a file name");
        } else if (name == "--symlink") {
            o.symlinkPath = value();
            if (o.symlinkPath.empty()) throw UsageError("--symlink needs a path");
        } else if (name == "--delay") {
            o.delayMs = static_cast<int>(ParseCount(name, value(), 600000));
        } else if (name == "--double") {
            flag();
            o.doubleReply = true;
        } else if (name == "--double-gap") {
            o.doubleGapMs = static_cast<int>(ParseCount(name, value(), 600000));
        } else if (name == "--hold") {
            o.holdMs = static_cast<int>(ParseCount(name, value(), 600000));
        } else if (name == "--stray-after") {
            o.strayAfter = ParseCount(name, value(), kMaxCount);
        } else if (name == "--split") {
            flag();
            o.split = true;
        } else if (name == "--split-pause") {
            o.splitPauseMs = static_cast<int>(ParseCount(name, value(), 10000));
        } else if (name == "--pad") {
            flag();
            o.pad = true;
        } else if (name == "--wrong-every") {
            o.wrongEvery = ParseCount(name, value(), kMaxCount);
        } else if (name == "--silent-after") {
            o.silentAfter = ParseCount(name, value(), kMaxCount);
        } else if (name == "--records") {
            o.records = ParseCount(name, value(), kMaxCount);
        } else if (name == "--exit-when-done") {
            flag();
            o.exitWhenDone = true;
        } else if (name == "--reset-after") {
            o.resetAfter = ParseCount(name, value(), kMaxCount);
        } else if (name == "--close-after") {
            o.closeAfter = ParseCount(name, value(), kMaxCount);
        } else if (name == "--refuse-row") {
            o.refuseRow = ParseCount(name, value(), kMaxCount);
        } else if (name == "--count") {
            o.count = static_cast<int>(ParseCount(name, value(), 4096));
            if (o.count == 0) throw UsageError("--count: at least 1 scale");
        } else if (name == "--unknown-reply") {
            o.unknownReply = value();
        } else if (name == "--no-stdin") {
            flag();
            o.watchStdin = false;
        } else if (name == "--verbose" || name == "-v") {
            flag();
            o.verbose = true;
        } else {
            throw UsageError("unknown option \"" + name + "\"");
        }
    }

    if (o.help) return o;
    if (o.mode == Mode::None) throw UsageError("choose one of --serial, --tcp, --udp");
    if (o.mode == Mode::Serial && o.port != 0) throw UsageError("--port is for --tcp and --udp");
    if (o.mode != Mode::Udp && o.replyPort != 0) throw UsageError("--reply-port is for --udp");
    if (o.mode != Mode::Serial && !o.symlinkPath.empty()) throw UsageError("--symlink is for --serial");
    if (o.mode != Mode::Tcp && o.resetAfter != 0) throw UsageError("--reset-after is for --tcp");
    if (o.mode != Mode::Tcp && o.holdMs != 0) throw UsageError("--hold is for --tcp");
    if (o.mode == Mode::Udp && o.closeAfter != 0) throw UsageError("--close-after is for --tcp and --serial");
    if (o.port != 0 && o.port + o.count - 1 > 65535)
        throw UsageError("--port: the ports of --count pass 65535");
    if (o.resetAfter != 0 && o.closeAfter != 0)
        throw UsageError("choose one of --reset-after, --close-after");
    return o;
}

namespace {
// "%n" becomes the scale's number; a text without it gets ".<number>" appended.
std::string Numbered(const std::string& text, int index) {
    if (text.empty()) return text;
    const std::string n = std::to_string(index);
    if (auto at = text.find("%n"); at != std::string::npos)
        return text.substr(0, at) + n + text.substr(at + 2);
    return text + "." + n;
}
} // namespace

Options ForScale(const Options& all, int index) {
    Options o = all;
    if (all.count == 1) return o;
    o.index = index;
    if (all.port != 0) o.port = all.port + index - 1;
    o.logPath = Numbered(all.logPath, index);
    o.symlinkPath = Numbered(all.symlinkPath, index);
    return o;
}

const char* UsageText() {
    return R"(Usage: scale-sim (--serial | --tcp | --udp) [options]

A simulated weighing scale. It answers every command line the way the scale
does: "SbP" -> "MbP", "SbU" -> "MbU", a line beginning "Sr" -> "Mr",
"Se" -> "Me", each reply ended by CR LF. Other commands get no reply.

Links (exactly one):
  --serial              open a pseudo-terminal; the program under test opens
                        the slave device printed as "PORT /dev/pts/N"
  --tcp                 listen on 127.0.0.1; connections are served one after
                        another; prints "PORT <n>"
  --udp                 bind 127.0.0.1; every datagram is one command (its
                        bytes up to the first zero byte); prints "PORT <n>".
                        A 1-byte datagram is the link's start signal: it gets
                        no reply and is reported as "START <hex byte>"

Link options:
  --port N              TCP/UDP port to bind (default 0: any free port)
  --reply-port N        UDP: send replies to port N of the sender's address
                        instead of the sender's own port
  --symlink PATH        serial: also make PATH a symbolic link to the slave
                        device (removed at exit)
  --count N             serve N scales at once, each with its own link,
                        counters and faults; one "PORT" line each, in order.
                        --port N gives them N, N+1, ...; in --log and
                        --symlink "%n" becomes the scale's number (1..N),
                        otherwise ".<number>" is appended

Reply behaviour:
  --delay MS            wait MS milliseconds before replying
  --double              write every reply twice, the second 20 ms after the
                        first (on a pty, once the program has read the first)
  --double-gap MS       with --double: the second copy MS milliseconds after
                        the first (default 20)
  --stray-after N       20 ms after the reply to the N-th command (counted over
                        the whole run), also write "Mr", which answers nothing
  --split               write each reply one byte at a time (UDP: one
                        datagram per byte), pausing between bytes
  --split-pause MS      pause between split bytes (default 1)
  --pad                 pad replies with blanks: "  Mr  " CR LF
  --wrong-every N       every N-th record line ("Sr...") is answered "Mx"
  --silent-after N      answer only the first N commands, then stay silent
  --refuse-row N        the N-th record line of every transfer is answered
                        "Mx" however often it is sent
  --unknown-reply TEXT  answer unknown commands with TEXT (plus CR LF)
  --hold MS             TCP: read a connection only MS milliseconds after it was
                        accepted (a busy scale): what came meanwhile is read,
                        and answered, at once; replies due at once go out in
                        one write
  --reset-after N       TCP: on the N-th command (counted over the whole run)
                        reset the connection instead of replying
  --close-after N       TCP: on the N-th command close the connection in an
                        orderly way instead of replying. Serial: hang up the
                        pseudo-terminal for good (the device goes away)

Transfer check:
  --records N           on "Se", print "DONE" when exactly N record lines were
                        acknowledged since the last start command ("SbP" or
                        "SbU"), else "MISMATCH <got> <expected>" and end with
                        exit status 3. Without --records every "Se" prints
                        "DONE".
  --exit-when-done      exit after the reply to the first "Se" has gone out

Other:
  --log FILE            append every received command line to FILE, flushed
                        at once. Serial/TCP: the exact bytes of the line as
                        received, line end included. UDP: the datagram's bytes
                        before its first zero byte, then CR LF. The UDP start
                        datagram is not logged.
  --no-stdin            do not watch standard input (by default the simulator
                        exits when standard input reaches end of file)
  -v, --verbose         describe traffic on standard error
  -h, --help            show this text
  --version             show the version and exit

Standard output carries one line per event, flushed at once:
  PORT <device path or port number>   first line, once the link is ready
  START <hex byte>                    UDP start datagram received
  DONE | MISMATCH <got> <expected>    an "Se" was received
With --count, the PORT lines come first, one per scale; every later event
line begins with "#<number> " ("#3 DONE").

Exit status: 0 after SIGTERM, SIGINT, end of standard input or
--exit-when-done (with --count: once every scale is done); 1 when a link
cannot be set up; 2 for a usage error; 3 when a record count mismatch was
seen (by any scale).
)";
}

} // namespace scalesim
