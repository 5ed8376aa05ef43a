#include "Translate.h"

#include "Paths.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <mutex>

namespace platform {

namespace {

std::once_flag gInitOnce;
std::mutex gMutex;
std::string gLanguage = "C";

bool IsPlainC(const char* name) {
    return !name || !*name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0;
}

const char* NonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

// gettext translates nothing in the exact "C" message locale and otherwise
// follows LANGUAGE; so a language without an installed system locale still
// works with the always-present C.UTF-8 and LANGUAGE set to it.
void ApplyMessageLocale() {
    if (IsPlainC(gLanguage.c_str())) return;
    if (IsPlainC(std::setlocale(LC_MESSAGES, nullptr))) {
        if (!std::setlocale(LC_MESSAGES, gLanguage.c_str())) std::setlocale(LC_MESSAGES, "C.UTF-8");
    }
}

} // namespace

void InitTranslation() {
    std::call_once(gInitOnce, [] {
        std::lock_guard lock(gMutex);
        const char* lang = NonEmptyEnv("LANG");
        if (!lang) lang = NonEmptyEnv("LC_ALL");
        if (!lang) lang = NonEmptyEnv("LC_MESSAGES");
        if (!lang) {
            const char* sys = std::setlocale(LC_MESSAGES, nullptr);
            if (!IsPlainC(sys)) lang = sys;
        }
        gLanguage = lang ? lang : "C";
        if (!IsPlainC(gLanguage.c_str())) ::setenv("LANGUAGE", gLanguage.c_str(), 1);
        ApplyMessageLocale();
    });
}

std::string TranslationLanguage() {
    InitTranslation();
    std::lock_guard lock(gMutex);
    return gLanguage;
}

void BindDomain(const char* domain, const std::string& dir) {
    InitTranslation();
    std::lock_guard lock(gMutex);
    const std::string where = dir.empty() ? LocaleDir() : dir;
    ::bindtextdomain(domain, where.c_str());
    ::bind_textdomain_codeset(domain, "UTF-8");
}

std::string Translate(const char* domain, const std::string& msgid) {
    if (msgid.empty()) return msgid; // the empty msgid is the catalogue header
    InitTranslation();
    std::lock_guard lock(gMutex);
    // The application object resets the locale from the environment when it
    // starts; put the message locale back if that undid it.
    ApplyMessageLocale();
    return ::dgettext(domain, msgid.c_str());
}

} // namespace platform
