#pragma once
// The one place where bytes become widget text and back.
#include <QString>
#include <QStringDecoder>
#include <string>

namespace platform {

// UTF-8 where the bytes are valid UTF-8, otherwise one character per byte.
QString ToQString(const std::string& bytes);
QString ToQString(const char* data, std::size_t size);

// Bytes as display text: UTF-8 where valid, otherwise through `legacy`, a
// decoder for an 8-bit code page (one character per byte).
QString ToQString(const char* data, std::size_t size, QStringDecoder& legacy);

// The 8-bit code page in which files are most likely written where the
// interface language (a LANG value such as "pl_PL.UTF-8") is spoken:
// "windows-1250", "windows-1251" or "windows-1252".
const char* LegacyCodePage(const std::string& language);

// Text typed by the user, as UTF-8 bytes.
std::string FromQString(const QString& text);

} // namespace platform
