#include "XMLConfigForm.h"

#include "app/Global.h"
#include "app/okno.h"
#include "platform/Paths.h"
#include "settings/XMLConfig.h"

void PrepareConfig() {
    settings::PrepareConfig(Form1->XMLConfig, platform::SettingsDir());
}
void ReadConfig() {
    settings::ReadConfig(Form1->XMLConfig, GlobalConfig);
}
void SaveConfig() {
    settings::SaveConfig(Form1->XMLConfig, platform::SettingsDir(), GlobalConfig);
}
