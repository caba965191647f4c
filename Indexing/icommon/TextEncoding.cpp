#include "Indexing/icommon/TextEncoding.h"

#include <cerrno>

#include "Platform/CYuUTFOSAPI.h"
#include "Platform/EvDebug.h"
#include "Platform/LocalCodePage.h"

namespace {
constexpr size_t kMaxChars = kTextEncodingBufSize - 1;
}  // namespace

std::string localToUtf(const char* text) {
    EvDebug log;
    std::wstring wide;
    const int code = LocalCodePage::toWide(text, wide, kMaxChars);
    if (code != 0) {
        log.Debug("localToUtf", "MultiByteToWideChar '%s' failed, code %d", text != nullptr ? text : "(null)", code);
        return text != nullptr ? text : "";
    }
    std::string utf8;
    CYuError error = CYuUTFOSAPI::LocalEncodingToUTF8(wide.c_str(), utf8);
    if (error.IsErrorSet() || utf8.size() > kMaxChars) {
        log.Debug("localToUtf", "ConvertUnicodeToUtf8 '%s' failed", text);
        return text;
    }
    return utf8;
}

std::string utfToLocal(const char* text) {
    EvDebug log;
    if (text == nullptr) {
        log.Debug("utfToLocal", "ConvertUtf8ToUnicode '%s' failed", "(null)");
        return "";
    }
    std::wstring wide;
    CYuError error = CYuUTFOSAPI::UTF8ToLocalEncoding(text, wide);
    if (error.IsErrorSet() || wide.size() > kMaxChars) {
        log.Debug("utfToLocal", "ConvertUtf8ToUnicode '%s' failed", text);
        return text;
    }
    std::string local;
    const int code = LocalCodePage::fromWide(wide.c_str(), local, kMaxChars);
    if (code != 0) {
        log.Debug("utfToLocal", "WideCharToMultiByte '%s' failed, code %d", text, code);
        return text;
    }
    return local;
}
