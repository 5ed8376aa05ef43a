#pragma once
// The main window's config.xml: its document and the settings of Global,
// in the settings folder.

// At the start: opens the document and reads it into Global.
void PrepareConfig();
void ReadConfig();
// At the close: writes Global into the document and the document to the file.
void SaveConfig();
