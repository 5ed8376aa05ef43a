#include "Global.h"

settings::Config GlobalConfig;
platform::HWND MainWindowHandle = 0;
