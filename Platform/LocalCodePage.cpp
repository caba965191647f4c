#include "Platform/LocalCodePage.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <optional>

#include "Platform/SettingsStore.h"

namespace {
// glibc's name for the wchar_t form of text (UCS-4 in the machine's byte order).
constexpr const char* kWideCharset = "WCHAR_T";
constexpr const char* kCLocaleCharset = "ANSI_X3.4-1968";

// The locale name that setlocale(LC_CTYPE, "") would use.
std::string ctypeLocaleName() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return "C";
}

std::string localeCharset() {
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale != static_cast<locale_t>(nullptr)) {
        const char* codeset = nl_langinfo_l(CODESET, locale);
        std::string result = codeset != nullptr && *codeset != '\0' ? codeset : kCLocaleCharset;
        freelocale(locale);
        return result;
    }
    // Not installed: the name still tells its character set, as in "de_DE.ISO-8859-1@euro".
    const std::string name = ctypeLocaleName();
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return kCLocaleCharset;
    std::string codeset = name.substr(dot + 1, name.find('@', dot) - dot - 1);
    return codeset.empty() ? std::string(kCLocaleCharset) : codeset;
}

// Converts inBytes bytes at in from one character set to another into the outCapacity bytes
// at out. 0 with *used set, or the errno value of the failure.
int convert(const char* to, const char* from, const char* in, size_t inBytes, char* out, size_t outCapacity,
            size_t* used) {
    *used = 0;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return errno;
    char* inPtr = const_cast<char*>(in);  // iconv's interface; the input is not written
    char* outPtr = out;
    size_t outLeft = outCapacity;
    int result = 0;
    if (iconv(cd, &inPtr, &inBytes, &outPtr, &outLeft) == static_cast<size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1))  // back to the initial shift state
        result = errno;
    iconv_close(cd);
    if (result == 0) *used = outCapacity - outLeft;
    return result;
}
}  // namespace

std::string LocalCodePage::charset() {
    std::optional<std::string> setting = SettingsStore::current().getText("Platform", "LocalCodePage");
    if (setting && !setting->empty()) return *setting;
    return localeCharset();
}

int LocalCodePage::toWide(const char* text, std::wstring& out, size_t maxChars) {
    out.clear();
    if (text == nullptr) return EINVAL;
    std::wstring buffer(maxChars, L'\0');
    size_t used = 0;
    const int result = convert(kWideCharset, charset().c_str(), text, strlen(text),
                               reinterpret_cast<char*>(buffer.data()), maxChars * sizeof(wchar_t), &used);
    if (result != 0) return result;
    buffer.resize(used / sizeof(wchar_t));
    out = std::move(buffer);
    return 0;
}

int LocalCodePage::fromWide(const wchar_t* text, std::string& out, size_t maxBytes) {
    out.clear();
    if (text == nullptr) return EINVAL;
    std::string buffer(maxBytes, '\0');
    size_t used = 0;
    const int result = convert(charset().c_str(), kWideCharset, reinterpret_cast<const char*>(text),
                               wcslen(text) * sizeof(wchar_t), buffer.data(), maxBytes, &used);
    if (result != 0) return result;
    buffer.resize(used);
    out = std::move(buffer);
    return 0;
}
