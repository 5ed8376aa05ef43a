#pragma once
// Process-wide link settings and the options carried over in config.xml.
#include <cstdint>
#include <string>

#include "links/ethernet/LinkState.h"
#include "platform/WinMsg.h"
#include "settings/Settings.h"

// Window message that carries a new link state in the low byte of wParam.
constexpr platform::UINT WM_LINKSTATE = platform::WM_USER + 1;

// The run's settings as config.xml holds them; the connection dialog edits
// its link part. The names below are the window's names for them.
extern settings::Config GlobalConfig;

inline std::uint8_t& Kind = GlobalConfig.Link.Kind;         // 0 serial port, 1 Ethernet
inline std::uint8_t& Protocol = GlobalConfig.Link.Protocol; // 0 TCP, 1 UDP
inline std::string& Host = GlobalConfig.Link.Host;          // the scale's dotted IPv4 address
inline std::int32_t& Port = GlobalConfig.Link.Port;         // the scale's TCP or UDP port
extern platform::HWND MainWindowHandle;

// Read from and written back to config.xml; nothing else uses them.
inline std::string& OrdersFileName = GlobalConfig.Options.OrdersFileName;
inline bool& WindRow = GlobalConfig.Options.WindRow;
inline std::uint8_t& WindRowMode = GlobalConfig.Options.WindRowMode;
inline std::string& WindRowChar = GlobalConfig.Options.WindRowChar;
inline bool& SaveASCII = GlobalConfig.Options.SaveASCII;
inline bool& InsertTime = GlobalConfig.Options.InsertTime;
inline bool& ChangePointToColon = GlobalConfig.Options.ChangePointToColon;
