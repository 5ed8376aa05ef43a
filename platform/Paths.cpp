#include "Paths.h"

#include <QDir>
#include <QStandardPaths>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {

// Tries rather than guesses from permission bits: ACLs, read-only mounts and
// root all decide differently from what the mode says.
bool CanCreateFileIn(const std::string& dir) {
    std::string probe = dir + ".scaledb-write-test-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool SameFolder(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    const auto ca = std::filesystem::weakly_canonical(a, ec1);
    const auto cb = std::filesystem::weakly_canonical(b, ec2);
    return !ec1 && !ec2 && ca == cb;
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// The folder systemd made for a service (ConfigurationDirectory=, StateDirectory=): the
// first of its colon-separated list, or empty when not run that way. Only absolute paths
// count, so a stray relative value never sends files into the working folder.
std::string ServiceFolder(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || value[0] != '/') return {};
    const std::string list(value);
    return WithSlash(list.substr(0, list.find(':')));
}

} // namespace

std::string ExePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string ExeDir() {
    const std::string path = ExePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

namespace {

// The program's folder under one of the user's base folders (XDG), made when missing;
// `fallback` below the home folder when the environment names none.
std::string UserFolder(QStandardPaths::StandardLocation location, const char* fallback) {
    const QString base = QStandardPaths::writableLocation(location);
    const QString dir = (base.isEmpty() ? QDir::homePath() + fallback : base) + "/scaledb";
    QDir().mkpath(dir);
    return WithSlash(dir.toStdString());
}

} // namespace

std::string ChooseSettingsDir(const std::string& exeDir) {
    // A service has no home folder to fall back on; systemd names the one it made.
    if (std::string dir = ServiceFolder("CONFIGURATION_DIRECTORY"); !dir.empty()) return dir;
    // An installed copy keeps no settings in the system's program folder, not
    // even when root runs it.
    const bool installed = SameFolder(exeDir, SCALEDB_INSTALL_BINDIR);
    if (!installed && CanCreateFileIn(exeDir)) return exeDir;
    return UserFolder(QStandardPaths::GenericConfigLocation, "/.config");
}

std::string SettingsDir() {
    static std::once_flag once;
    static std::string dir;
    std::call_once(once, [] { dir = ChooseSettingsDir(ExeDir()); });
    return dir;
}

std::string ChooseDataDir(const std::string& exeDir, const std::string& settingsDir) {
    if (std::string dir = ServiceFolder("STATE_DIRECTORY"); !dir.empty()) return dir;
    if (SameFolder(exeDir, settingsDir)) return WithSlash(exeDir);
    return UserFolder(QStandardPaths::GenericDataLocation, "/.local/share");
}

std::string DataDir() {
    static std::once_flag once;
    static std::string dir;
    std::call_once(once, [] { dir = ChooseDataDir(ExeDir(), SettingsDir()); });
    return dir;
}

std::string LocaleDir() {
    const std::string exeDir = ExeDir();
    std::error_code ec;
    if (std::filesystem::is_directory(exeDir + "locale", ec)) return exeDir + "locale";
    return exeDir + "../share/locale";
}

} // namespace platform
