#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

TEST(DataDir, FollowsTheSettingsBesideTheProgramElseTheUsersDataFolder) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string root = temp.path().toStdString() + "/";
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(root + "data"));

    const std::string exeDir = root + "bin/";
    fs::create_directories(exeDir);
    fs::create_directory_symlink(exeDir, root + "link");
    // A copy that keeps its settings beside itself keeps its history there too,
    // however the folder is spelt.
    EXPECT_EQ(platform::ChooseDataDir(exeDir, exeDir), exeDir);
    EXPECT_EQ(platform::ChooseDataDir(exeDir, root + "link/"), exeDir);
    EXPECT_FALSE(fs::exists(root + "data"));

    // Settings in the per-user folder: data in the per-user data folder, made when missing.
    const std::string chosen = platform::ChooseDataDir(exeDir, root + "config/scaledb/");
    EXPECT_EQ(chosen, root + "data/scaledb/");
    EXPECT_TRUE(fs::is_directory(chosen));

    if (had)
        qputenv("XDG_DATA_HOME", saved);
    else
        qunsetenv("XDG_DATA_HOME");
}

} // namespace
