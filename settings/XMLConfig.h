#pragma once
// config.xml beside the executable: the link settings and the carried-over
// options of Global, read once at start and written once at close.
#include <string>

namespace platform {
class XmlDocument;
}

// Work on the main window's document and the executable's directory.
void PrepareConfig();
void ReadConfig();
void SaveConfig();

// The same on a given document, with config.xml in `exeDir` (which ends in
// a path separator).
void PrepareConfig(platform::XmlDocument& doc, const std::string& exeDir);
void ReadConfig(platform::XmlDocument& doc);
void SaveConfig(platform::XmlDocument& doc, const std::string& exeDir);
