// Test main for the scales folder. Run with --history-writer it is instead
// one of the programs that write the same history at once; with --lock-holder,
// a program that holds a scale's lock.
#include <QCoreApplication>
#include <cstring>
#include <gtest/gtest.h>

#include "HistoryWriter.h"
#include "scales/ScaleLock.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

// Holds the lock of KEY in FOLDER until standard input ends.
int RunLockHolder(char** argv) {
    scales::TScaleLock lock(argv[2]);
    const std::string refusal = lock.TryTake(argv[3], "lock-holder");
    std::cout << (refusal.empty() ? "taken" : refusal) << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], kHistoryWriterFlag) == 0) return RunHistoryWriter(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "--lock-holder") == 0) return RunLockHolder(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
