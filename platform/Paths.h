#pragma once
#include <string>

namespace platform {

// The running executable's path; empty when the system does not say.
std::string ExePath();
// Directory of the running executable, with its trailing "/".
std::string ExeDir();

// The folder that holds config.xml, ComPortTest.ini, the default orders file
// and the crash log, with its trailing "/". Chosen once per run by
// ChooseSettingsDir(ExeDir()); every reader and writer of settings asks here,
// so reading looks where writing will go.
std::string SettingsDir();

// $CONFIGURATION_DIRECTORY when systemd sets it for a service (its first folder);
// otherwise `exeDir` (with its trailing "/") when a file can be created there and it is
// not the folder the program is installed into; otherwise the per-user folder
// $XDG_CONFIG_HOME/scaledb/ (default ~/.config/scaledb/), created if missing.
std::string ChooseSettingsDir(const std::string& exeDir);

// The folder of data the program keeps (the transfer history), with its
// trailing "/". Chosen once per run by ChooseDataDir(ExeDir(), SettingsDir()).
std::string DataDir();

// $STATE_DIRECTORY when systemd sets it for a service (its first folder); otherwise
// `exeDir` when `settingsDir` is that folder (a copy that keeps its settings
// beside itself keeps its data there too); otherwise the per-user folder
// $XDG_DATA_HOME/scaledb/ (default ~/.local/share/scaledb/), created if missing.
std::string ChooseDataDir(const std::string& exeDir, const std::string& settingsDir);

// The folder of the message catalogues: "locale" beside the executable when it
// exists, else the install prefix's share/locale (found from the executable's
// folder, so an installed tree may be moved).
std::string LocaleDir();

} // namespace platform
