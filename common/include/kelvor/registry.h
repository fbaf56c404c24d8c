// The registry the programs read their installation settings from, with the calls they make:
// RegOpenKeyExA, RegQueryValueExA, RegCloseKey and FormatMessageA, their arguments and their
// result codes (0 success, 2 no such key or value, 5 access denied, 6 bad handle, 234 buffer
// too small).
//
// The registry is a folder of files in the standard .reg text format ("Windows Registry Editor
// Version 5.00" or "REGEDIT4"): [HKEY_LOCAL_MACHINE\...] sections, "name"="text", @= for a
// key's default value, dword:, hex:, hex(n): values, [-key] and "name"=- deletions. Every
// *.reg file of the folder is read, in name order, with imported.reg (what `kelvor reg import`
// writes) last. The folder is $KELVOR_REGISTRY, or /etc/kelvor/registry when that is unset.
// Key paths keep their backslashes and compare without regard to case.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvor {

using LONG = int32_t;
using DWORD = uint32_t;
using BYTE = unsigned char;
struct RegKeyHandle;
using HKEY = RegKeyHandle*;

HKEY RegRoot(DWORD id);
#define HKEY_CLASSES_ROOT (::kelvor::RegRoot(0x80000000u))
#define HKEY_CURRENT_USER (::kelvor::RegRoot(0x80000001u))
#define HKEY_LOCAL_MACHINE (::kelvor::RegRoot(0x80000002u))
#define HKEY_USERS (::kelvor::RegRoot(0x80000003u))
#define HKEY_CURRENT_CONFIG (::kelvor::RegRoot(0x80000005u))

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_BADDB = 1009;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD KEY_SET_VALUE = 0x0002;
inline constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_WRITE = 0x20006;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD samDesired, HKEY* result);
// With `data` null, reports the type and the size needed. A text value's size counts its
// terminating zero. A buffer too small gives 234 with the size needed in *cbData.
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);
LONG RegCloseKey(HKEY key);
// The system's text for an error code, ending in CR LF as the system writes it. Returns the
// number of characters written, 0 when the code has no text or the buffer is too small.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, void* arguments);

namespace registry {

std::string Folder();

struct RegValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> data;  // as RegQueryValueExA returns it (text with its zero)
};

// A parsed .reg file, as an ordered list of operations.
struct RegFile {
    struct Op {
        enum class Kind { SetValue, DeleteValue, CreateKey, DeleteKey } kind;
        std::string key;   // full path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\..."
        std::string name;  // value name; "" for the default value
        RegValue value;
    };
    std::vector<Op> ops;
};

// Throws JetError (kInvalidArgument with the line) for text that is not a .reg file.
RegFile ParseRegFile(const std::string& bytes);
std::string WriteRegFile(const std::map<std::string, std::map<std::string, RegValue>>& keys);

// Merges `file` into the folder's imported.reg. Throws JetError.
void Import(const std::string& path);

// The values of a key as stored, for `kelvor reg query`; false when there is no such key.
bool ReadKey(const std::string& fullKey, std::map<std::string, RegValue>& values);

}  // namespace registry
}  // namespace kelvor
