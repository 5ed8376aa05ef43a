#include "Text.h"

#include <QStringDecoder>

namespace platform {

namespace {
bool IsValidUtf8(const char* s, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}
} // namespace

QString ToQString(const char* data, std::size_t size) {
    if (IsValidUtf8(data, size)) return QString::fromUtf8(data, static_cast<qsizetype>(size));
    return QString::fromLatin1(data, static_cast<qsizetype>(size));
}

QString ToQString(const std::string& bytes) {
    return ToQString(bytes.data(), bytes.size());
}

QString ToQString(const char* data, std::size_t size, QStringDecoder& legacy) {
    if (!legacy.isValid() || IsValidUtf8(data, size)) return ToQString(data, size);
    return legacy.decode(QByteArrayView(data, static_cast<qsizetype>(size)));
}

const char* LegacyCodePage(const std::string& language) {
    const std::string code = language.substr(0, language.find_first_of("_.@"));
    for (const char* central : {"pl", "cs", "sk", "hu", "sl", "hr", "ro"})
        if (code == central) return "windows-1250";
    for (const char* cyrillic : {"ru", "uk", "bg"})
        if (code == cyrillic) return "windows-1251";
    return "windows-1252";
}

std::string FromQString(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

} // namespace platform
