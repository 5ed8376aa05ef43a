#include <QApplication>
#include <gtest/gtest.h>

#include "common/TempCopyMain.h"
#include "platform/Translate.h"

int main(int argc, char** argv) {
    if (int rc = testing_support::RunFromTempCopy(argc, argv); rc >= 0) return rc;
    // Test discovery runs the executable without the CTest environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::InitTranslation();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
