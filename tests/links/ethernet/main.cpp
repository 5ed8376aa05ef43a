#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "common/TempCopyMain.h"

int main(int argc, char** argv) {
    // The end-to-end tests write config.xml beside the executable.
    if (int rc = testing_support::RunFromTempCopy(argc, argv); rc >= 0) return rc;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
