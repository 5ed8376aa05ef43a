#pragma once
// Process-wide link settings and the options carried over in config.xml.
#include <cstdint>
#include <string>

#include "links/ethernet/LinkState.h"
#include "platform/WinMsg.h"

// Window message that carries a new link state in the low byte of wParam.
constexpr platform::UINT WM_LINKSTATE = platform::WM_USER + 1;

extern std::uint8_t Kind;     // 0 serial port, 1 Ethernet
extern std::uint8_t Protocol; // 0 TCP, 1 UDP
extern std::string Host;      // the scale's dotted IPv4 address
extern std::int32_t Port;     // the scale's TCP or UDP port
extern platform::HWND MainWindowHandle;

// Read from and written back to config.xml; nothing else uses them.
extern std::string OrdersFileName;
extern bool WindRow;
extern std::uint8_t WindRowMode;
extern std::string WindRowChar;
extern bool SaveASCII;
extern bool InsertTime;
extern bool ChangePointToColon;

// Whole-number parsing shared by the configuration file and the connection
// dialog: leading blanks, optional sign, decimal or hexadecimal after "$",
// "x", "X", "0x" or "0X"; anything else, or a value outside 32 bits, gives `def`.
std::int32_t TextToIntDef(const std::string& text, std::int32_t def);
