// Test main for the scales folder. Run with --history-writer it is instead
// one of the programs that write the same history at once.
#include <QCoreApplication>
#include <cstring>
#include <gtest/gtest.h>

#include "HistoryWriter.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], kHistoryWriterFlag) == 0) return RunHistoryWriter(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
