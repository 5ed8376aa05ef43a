#pragma once
// Where a table goes: the targets of the command line, of a targets file, or the
// one link that config.xml and ComPortTest.ini name.
#include <string>
#include <vector>

#include "fleet/Result.h"
#include "scales/Targets.h"

namespace sendcmd {

// Bad usage, an unreadable table or target: exit status 2. A send the fleet
// refuses before anything goes out is one too.
using UsageError = fleet::Refused;

// Targets are the scale list's; a bad one is bad usage here.
using scales::HostPort;
using scales::LiteralAddress;
using scales::LookUpHosts;
using scales::ScaleKey;
using scales::SerialFrame;
using scales::Target;

// scales::ParseTarget, with a bad target as UsageError.
Target ParseTarget(const std::string& text);

// scales::RefuseDuplicates, with two spellings of one scale as UsageError.
void RefuseDuplicates(const std::vector<Target>& targets);

// A scale list ("[-]TARGET  NAME" a line, # comments): its switched-on targets with their
// names. Throws UsageError naming the file when it cannot be read, and every bad line
// with its number, one message a line ("FILE:7: bad target ...").
std::vector<Target> ReadTargetsFile(const std::string& path);

// The switched-on scales of the settings folder's list (`path`). Throws UsageError
// naming the file when it is missing, unreadable, has a bad line or no scale switched on.
std::vector<Target> ReadScalesFile(const std::string& path);

// The link the window would open: config.xml and ComPortTest.ini in `settingsDir`
// (ending in "/"), read without changing either file.
Target DefaultTarget(const std::string& settingsDir);

} // namespace sendcmd
