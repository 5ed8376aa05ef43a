#include <QApplication>
#include <gtest/gtest.h>

#include "common/TempCopyMain.h"

int main(int argc, char** argv) {
    // Dialog tests may save the files beside the executable: run from a copy.
    if (int rc = testing_support::RunFromTempCopy(argc, argv); rc >= 0) return rc;
    // Test discovery at build time runs this without CTest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
