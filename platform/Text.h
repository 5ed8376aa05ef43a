#pragma once
// The one place where bytes become widget text and back.
#include <QString>
#include <string>

namespace platform {

// UTF-8 where the bytes are valid UTF-8, otherwise one character per byte.
QString ToQString(const std::string& bytes);
QString ToQString(const char* data, std::size_t size);

// Text typed by the user, as UTF-8 bytes.
std::string FromQString(const QString& text);

} // namespace platform
