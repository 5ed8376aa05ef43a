#include "ThreadGuard.h"

namespace platform {

std::function<void(std::exception_ptr)> UnhandledThreadException;

} // namespace platform
