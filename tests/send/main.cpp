#include <gmock/gmock.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    // For the links driven in this process; the command itself runs as a child.
    QCoreApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
