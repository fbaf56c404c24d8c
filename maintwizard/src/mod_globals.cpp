#include "mod_globals.h"

#include "kelvor/error.h"

namespace kelvor::wizard {

namespace {

// The system's text for a registry result code, as many characters as the call reports.
std::string systemText(LONG code) {
    char buf[255];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code), 0, buf,
                             255, nullptr);
    return std::string(buf, n);
}

}  // namespace

void FormatError(int32_t& lErr, std::string& sError, int32_t lNumber, const std::string&,
                 const std::string& sDescription, const std::string& sLabel) {
    try {
        FormatErrorPair(lErr, sError, lNumber, sDescription, "modGlobals." + sLabel);
    } catch (...) {
    }
}

std::string GenRegReadValue(HKEY hKeyRoot, const std::string& sKeyName,
                            const std::string& sValueName, int32_t& lErr, std::string& sError) {
    HKEY key = nullptr;
    try {
        LONG rc = RegOpenKeyExA(hKeyRoot, sKeyName.c_str(), 0, 0x20019, &key);
        if (rc != ERROR_SUCCESS) {
            key = nullptr;
            throw Error(rc, systemText(rc));
        }
        char buf[255] = {};
        DWORD size = 255, type = 0;
        rc = RegQueryValueExA(key, sValueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf),
                              &size);
        if (rc != ERROR_SUCCESS) throw Error(rc, systemText(rc));
        std::string result = size > 1 ? std::string(buf, size - 1) : std::string();
        RegCloseKey(key);
        return result;
    } catch (const Error& e) {
        FormatError(lErr, sError, e.number(), e.source(), e.description(), "GenRegReadValue");
        if (key) RegCloseKey(key);
        return "";
    }
}

std::string GetDirPart(const std::string& sPath) {
    auto p = sPath.rfind('/');
    if (p == std::string::npos || p == 0) return sPath;
    return sPath.substr(0, p);
}

std::string GetFilePart(const std::string& sPath) {
    auto p = sPath.rfind('/');
    if (p == std::string::npos) return sPath;
    return sPath.substr(p + 1);
}

}  // namespace kelvor::wizard
