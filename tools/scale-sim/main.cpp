// scale-sim: a simulated weighing scale for tests, benchmarks and demonstrations.

#include "Link.h"
#include "Options.h"
#include "Scale.h"
#include "Sys.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

int g_stopWrite = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] auto r = ::write(g_stopWrite, &byte, 1);
    errno = saved;
}

// Signals become a readable pipe so the event loop sees them between two polls.
scalesim::Fd InstallStopSignals() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) scalesim::ThrowErrno("pipe2");
    g_stopWrite = p[1];
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    // A reader that went away must not kill the scale; writes report EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);
    return scalesim::Fd(p[0]);
}

} // namespace

int main(int argc, char** argv) {
    using namespace scalesim;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "scale-sim " SCALEDB_VERSION "\n";
        return 0;
    }
    Options options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "scale-sim: " << e.what() << "\nTry 'scale-sim --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }

    try {
        Fd stop = InstallStopSignals();
        // One scale and one link per --count, all served by one event loop.
        std::vector<std::unique_ptr<Options>> perScale;
        std::vector<std::unique_ptr<Scale>> scales;
        std::vector<std::unique_ptr<Link>> links;
        for (int i = 1; i <= options.count; ++i) {
            perScale.push_back(std::make_unique<Options>(ForScale(options, i)));
            const Options& o = *perScale.back();
            scales.push_back(std::make_unique<Scale>(o));
            switch (o.mode) {
            case Mode::Serial:
                links.push_back(MakeSerialLink(o, *scales.back()));
                break;
            case Mode::Tcp:
                links.push_back(MakeTcpLink(o, *scales.back()));
                break;
            case Mode::Udp:
                links.push_back(MakeUdpLink(o, *scales.back()));
                break;
            case Mode::None:
                return 2;
            }
        }
        std::vector<Link*> running;
        for (const auto& link : links) {
            Scale::PrintEvent("PORT " + link->PortText());
            running.push_back(link.get());
        }
        return RunLinks(running, stop.Get(), options.watchStdin);
    } catch (const std::exception& e) {
        std::cerr << "scale-sim: " << e.what() << "\n";
        return 1;
    }
}
