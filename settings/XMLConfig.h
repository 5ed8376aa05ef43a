#pragma once
// config.xml: the link settings and the carried-over options, read once at
// the start of a run and written once at its close.
#include <string>

#include "platform/XmlDocument.h"
#include "settings/Settings.h"

namespace settings {

// config.xml as a run holds it between its start and its close.
struct ConfigDocument {
    platform::XmlDocument Xml;
    // config.xml existed at the start but did not load: it is kept as
    // config.xml.bad before the close replaces it.
    bool LoadFailed = false;
};

// Loads config.xml from `exeDir` (which ends in a path separator), or begins
// an empty document, and adds every missing entry with its default text.
void PrepareConfig(ConfigDocument& doc, const std::string& exeDir);
// Copies the entries into `values`; an entry that cannot be read leaves what
// `values` held, as far as the file's order of reading says.
void ReadConfig(ConfigDocument& doc, Config& values);
// Writes `values` into the entries and the document to config.xml in `exeDir`.
void SaveConfig(ConfigDocument& doc, const std::string& exeDir, const Config& values);

} // namespace settings
