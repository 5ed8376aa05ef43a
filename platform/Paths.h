#pragma once
#include <string>

namespace platform {

// Directory of the running executable, with its trailing "/".
std::string ExeDir();

} // namespace platform
