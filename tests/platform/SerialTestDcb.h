#pragma once
// The main window's serial line as a device-control block: 9600 8N1,
// nothing but fBinary set, the usual XON/XOFF characters.
#include "platform/WinSerial.h"

inline platform::DCB MainWindowDcb() {
    platform::DCB d{};
    d.DCBlength = sizeof(platform::DCB);
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.XonLim = d.XoffLim = 256;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}
