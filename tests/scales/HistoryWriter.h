#pragma once
// A second program writing the history: the test executable started again
// with kHistoryWriterFlag PATH COUNT TARGET [die]. It records COUNT whole
// transfers to TARGET (start and end), or with "die" starts one, records it
// at row 11 with 10 rows acknowledged, and ends the process before its end is written. Exit status 0 when
// every write went in.
#include <QCoreApplication>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "scales/History.h"

inline const char* kHistoryWriterFlag = "--history-writer";

inline scales::TransferStart WriterStart(const std::string& target, int n) {
    scales::TransferStart s;
    s.target = target;
    s.name = "Writer " + target;
    s.path = "/srv/tables/products-" + std::to_string(n) + ".csv";
    s.size = 1000 + n;
    s.sha256 = std::string(64, 'a');
    s.rows = 10;
    s.program = "scaledb-send";
    return s;
}

inline int RunHistoryWriter(int argc, char** argv) {
    if (argc < 5) return 2;
    scales::History history;
    int errors = 0;
    history.OnError = [&](const std::string& e) {
        ++errors;
        std::fprintf(stderr, "%s\n", e.c_str());
    };
    if (history.Open(argv[2]) != scales::HistoryState::Open) return 1;
    const int count = std::atoi(argv[3]);
    const std::string target = argv[4];
    if (argc >= 6 && std::string(argv[5]) == "die") {
        const std::int64_t id = history.Begin(WriterStart(target, 0));
        history.Progress(id, 11, 10); // as far as it got
        ::_exit(0);                   // no destructor, no end: as if the program was killed
    }
    for (int n = 0; n < count; ++n) {
        const std::int64_t id = history.Begin(WriterStart(target, n));
        scales::TransferEnd end;
        end.outcome = scales::TransferOutcome::Sent;
        end.row = 11;
        end.acknowledged = 10;
        end.startSent = true;
        history.End(id, end);
        if (id == 0) ++errors;
    }
    return errors == 0 && history.State() == scales::HistoryState::Open ? 0 : 1;
}

// Starts a writer; the caller waits for it.
inline void StartHistoryWriter(QProcess& p, const std::string& path, int count, const std::string& target,
                               bool die = false) {
    QStringList args{kHistoryWriterFlag, QString::fromStdString(path), QString::number(count),
                     QString::fromStdString(target)};
    if (die) args << "die";
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QCoreApplication::applicationFilePath(), args);
}
