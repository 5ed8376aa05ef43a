#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // The scales' locks live in the data folder: this run's own, not the one beside the executable.
    QTemporaryDir data;
    qputenv("STATE_DIRECTORY", data.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
