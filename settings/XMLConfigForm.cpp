// The main window's document: kept apart from XMLConfig.cpp, so that reading
// config.xml without a window (scaledb-send) links no window.
#include "XMLConfig.h"

#include "app/okno.h"
#include "platform/Paths.h"

void PrepareConfig() {
    PrepareConfig(Form1->XMLConfig, platform::SettingsDir());
}
void ReadConfig() {
    ReadConfig(Form1->XMLConfig);
}
void SaveConfig() {
    SaveConfig(Form1->XMLConfig, platform::SettingsDir());
}
