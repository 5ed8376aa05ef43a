#pragma once
// Message catalogues (GNU gettext ".mo" files) under "locale" beside the executable,
// else under the install prefix's share/locale: <language>/LC_MESSAGES/<domain>.mo.
//
// The language comes from LANG, else the system locale, else "C". It works even
// when no system locale of that language is installed.
#include <string>

namespace platform {

// Chooses the language; runs once, later calls do nothing. Every other function
// here calls it first.
void InitTranslation();
// The chosen language ("C" when nothing is translated).
std::string TranslationLanguage();
// Binds `domain` to the catalogues under `dir` (default: LocaleDir()),
// with UTF-8 output.
void BindDomain(const char* domain, const std::string& dir = {});
// The translation of `msgid` in `domain`, or `msgid` itself when there is none.
std::string Translate(const char* domain, const std::string& msgid);

} // namespace platform
