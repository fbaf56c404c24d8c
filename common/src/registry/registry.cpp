#include "kelvor/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "kelvor/jet_error.h"

namespace kelvor {

struct RegKeyHandle {
    bool isRoot = false;
    std::string path;  // full path as found, e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\..."
    std::map<std::string, registry::RegValue> values;  // by lower-cased name
};

namespace registry {

namespace {

constexpr const char* kImported = "imported.reg";

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::pair<const char*, const char*> kRootNames[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

// "HKLM\Software\X\" -> "HKEY_LOCAL_MACHINE\Software\X"; empty when the root is unknown.
std::string normalizeKey(std::string key) {
    while (!key.empty() && key.back() == '\\') key.pop_back();
    auto slash = key.find('\\');
    std::string root = lower(key.substr(0, slash));
    for (const auto& [longName, shortName] : kRootNames) {
        if (root == lower(longName) || root == lower(shortName))
            return longName + (slash == std::string::npos ? std::string() : key.substr(slash));
    }
    return {};
}

// ---- text encodings of .reg files --------------------------------------------------------
std::string utf16leToUtf8(const std::string& bytes, size_t from) {
    std::string out;
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
        uint32_t cp = static_cast<unsigned char>(bytes[i]) |
                      (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t lo = static_cast<unsigned char>(bytes[i + 2]) |
                          (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string utf8ToUtf16le(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = c;
        size_t len = 1;
        if (c >= 0xF0 && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
                 (s[i + 3] & 0x3Fu);
            len = 4;
        } else if (c >= 0xE0 && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            len = 3;
        } else if (c >= 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            len = 2;
        }
        i += len;
        auto put = [&](uint32_t u) {
            out.push_back(static_cast<char>(u & 0xFF));
            out.push_back(static_cast<char>(u >> 8));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

[[noreturn]] void badLine(int line, const std::string& why) {
    throw JetError(err::kInvalidArgument,
                   "Invalid registry file, line " + std::to_string(line) + ": " + why + ".");
}

bool isTextType(DWORD t) {
    return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ;
}

// Reads "text" with \\ and \" escapes starting at s[i] == '"'; leaves i after the quote.
std::string quoted(const std::string& s, size_t& i, int line) {
    std::string out;
    ++i;
    for (;;) {
        if (i >= s.size()) badLine(line, "unclosed quotation mark");
        char c = s[i++];
        if (c == '"') return out;
        if (c == '\\' && i < s.size()) {
            char e = s[i++];
            out.push_back(e == 'n' ? '\n' : e);
            continue;
        }
        out.push_back(c);
    }
}

std::vector<BYTE> hexBytes(const std::string& text, int line) {
    std::vector<BYTE> out;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        } else if (c == ',') {
            if (digits.empty() || digits.size() > 2) badLine(line, "bad hex data");
            out.push_back(static_cast<BYTE>(std::strtoul(digits.c_str(), nullptr, 16)));
            digits.clear();
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            badLine(line, "bad hex data");
        }
    }
    if (!digits.empty()) {
        if (digits.size() > 2) badLine(line, "bad hex data");
        out.push_back(static_cast<BYTE>(std::strtoul(digits.c_str(), nullptr, 16)));
    }
    return out;
}

}  // namespace

std::string Folder() {
    const char* env = std::getenv("KELVOR_REGISTRY");
    return env && *env ? env : "/etc/kelvor/registry";
}

RegFile ParseRegFile(const std::string& raw) {
    std::string text;
    bool unicode = false;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        text = utf16leToUtf8(raw, 2);
    } else if (raw.rfind("\xEF\xBB\xBF", 0) == 0) {
        text = raw.substr(3);
    } else {
        text = raw;
    }
    // Logical lines: a trailing backslash continues hex data on the next line.
    std::vector<std::pair<int, std::string>> lines;
    {
        std::istringstream in(text);
        std::string l, pending;
        int n = 0, startLine = 0;
        while (std::getline(in, l)) {
            ++n;
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (pending.empty()) startLine = n;
            if (!pending.empty()) {
                size_t k = l.find_first_not_of(" \t");
                l = k == std::string::npos ? "" : l.substr(k);
            }
            if (!l.empty() && l.back() == '\\' && l.find('=') != std::string::npos &&
                l.find("hex") != std::string::npos) {
                pending += l.substr(0, l.size() - 1);
                continue;
            }
            if (!pending.empty() && !l.empty() && l.back() == '\\' &&
                l.find('"') == std::string::npos) {
                pending += l.substr(0, l.size() - 1);
                continue;
            }
            lines.emplace_back(startLine, pending + l);
            pending.clear();
        }
        if (!pending.empty()) lines.emplace_back(startLine, pending);
    }
    RegFile file;
    size_t first = 0;
    while (first < lines.size() &&
           lines[first].second.find_first_not_of(" \t") == std::string::npos)
        ++first;
    if (first >= lines.size()) badLine(1, "no header");
    const std::string& header = lines[first].second;
    if (header == "Windows Registry Editor Version 5.00") {
        unicode = true;
    } else if (header != "REGEDIT4") {
        badLine(lines[first].first, "expected \"Windows Registry Editor Version 5.00\"");
    }
    std::string key;
    for (size_t li = first + 1; li < lines.size(); ++li) {
        int line = lines[li].first;
        std::string l = lines[li].second;
        size_t k = l.find_first_not_of(" \t");
        if (k == std::string::npos || l[k] == ';') continue;
        l = l.substr(k);
        while (!l.empty() && (l.back() == ' ' || l.back() == '\t')) l.pop_back();
        if (l.front() == '[') {
            if (l.back() != ']') badLine(line, "unclosed key name");
            bool del = l.size() > 1 && l[1] == '-';
            std::string name = normalizeKey(l.substr(del ? 2 : 1, l.size() - (del ? 3 : 2)));
            if (name.empty()) badLine(line, "unknown root key");
            RegFile::Op op{
                del ? RegFile::Op::Kind::DeleteKey : RegFile::Op::Kind::CreateKey, name, "", {}};
            file.ops.push_back(std::move(op));
            key = del ? "" : name;
            continue;
        }
        if (key.empty()) badLine(line, "value outside a key");
        size_t i = 0;
        std::string name;
        if (l[0] == '@') {
            i = 1;
        } else if (l[0] == '"') {
            name = quoted(l, i, line);
        } else {
            badLine(line, "expected a value name");
        }
        while (i < l.size() && l[i] == ' ') ++i;
        if (i >= l.size() || l[i] != '=') badLine(line, "expected '='");
        ++i;
        while (i < l.size() && l[i] == ' ') ++i;
        std::string rest = l.substr(i);
        RegFile::Op op{RegFile::Op::Kind::SetValue, key, name, {}};
        if (rest == "-") {
            op.kind = RegFile::Op::Kind::DeleteValue;
        } else if (!rest.empty() && rest[0] == '"') {
            size_t j = 0;
            std::string v = quoted(rest, j, line);
            op.value.type = REG_SZ;
            op.value.data.assign(v.begin(), v.end());
            op.value.data.push_back(0);
        } else if (lower(rest.substr(0, 6)) == "dword:") {
            std::string digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                badLine(line, "bad dword");
            uint32_t v = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
            op.value.type = REG_DWORD;
            op.value.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                             static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
        } else if (lower(rest.substr(0, 3)) == "hex") {
            size_t colon = rest.find(':');
            if (colon == std::string::npos) badLine(line, "bad hex value");
            DWORD type = REG_BINARY;
            if (rest[3] == '(') {
                size_t close = rest.find(')');
                if (close == std::string::npos || close > colon) badLine(line, "bad hex type");
                type = static_cast<DWORD>(
                    std::strtoul(rest.substr(4, close - 4).c_str(), nullptr, 16));
            }
            std::vector<BYTE> bytes = hexBytes(rest.substr(colon + 1), line);
            if (unicode && isTextType(type)) {
                std::string u(bytes.begin(), bytes.end());
                std::string s = utf16leToUtf8(u, 0);
                bytes.assign(s.begin(), s.end());
            }
            op.value.type = type;
            op.value.data = std::move(bytes);
        } else {
            badLine(line, "unknown value type");
        }
        file.ops.push_back(std::move(op));
    }
    return file;
}

namespace {

std::string escapeText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string hexList(const std::vector<BYTE>& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        if (i) out += ",";
        out += buf;
    }
    return out;
}

// A parsed registry: key (lower-cased) -> shown name and values.
struct Key {
    std::string name;
    std::string file;  // the file that last defined or changed it
    std::map<std::string, std::pair<std::string, RegValue>> values;  // by lower-cased name
};
using Store = std::map<std::string, Key>;

void apply(Store& store, const RegFile& f, const std::string& fileName) {
    auto ensure = [&](const std::string& key) -> Key& {
        // Every ancestor of a key exists too.
        std::string path;
        size_t pos = 0;
        Key* last = nullptr;
        for (;;) {
            size_t slash = key.find('\\', pos);
            path = key.substr(0, slash);
            Key& k = store[lower(path)];
            if (k.name.empty()) k.name = path;
            last = &k;
            if (slash == std::string::npos) break;
            pos = slash + 1;
        }
        last->file = fileName;
        return *last;
    };
    for (const auto& op : f.ops) {
        switch (op.kind) {
            case RegFile::Op::Kind::CreateKey:
                ensure(op.key);
                break;
            case RegFile::Op::Kind::DeleteKey: {
                std::string l = lower(op.key);
                for (auto it = store.begin(); it != store.end();) {
                    if (it->first == l || it->first.rfind(l + "\\", 0) == 0) {
                        it = store.erase(it);
                    } else {
                        ++it;
                    }
                }
                break;
            }
            case RegFile::Op::Kind::SetValue:
                ensure(op.key).values[lower(op.name)] = {op.name, op.value};
                break;
            case RegFile::Op::Kind::DeleteValue:
                ensure(op.key).values.erase(lower(op.name));
                break;
        }
    }
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Files of the folder in reading order; unreadable or broken files are passed over, as a
// broken file must not hide the others.
Store loadStore() {
    Store store;
    std::string folder = Folder();
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && lower(n.substr(n.size() - 4)) == ".reg" && n != kImported)
                names.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    names.push_back(kImported);
    for (const auto& n : names) {
        std::string path = folder + "/" + n;
        std::string bytes = readAll(path);
        if (bytes.empty()) continue;
        try {
            apply(store, ParseRegFile(bytes), path);
        } catch (const JetError&) {
        }
    }
    return store;
}

}  // namespace

std::string WriteRegFile(const std::map<std::string, std::map<std::string, RegValue>>& keys) {
    std::string out = "Windows Registry Editor Version 5.00\n";
    for (const auto& [key, values] : keys) {
        out += "\n[" + key + "]\n";
        for (const auto& [name, v] : values) {
            out += name.empty() ? "@" : "\"" + escapeText(name) + "\"";
            out += "=";
            bool plainText = v.type == REG_SZ && !v.data.empty() && v.data.back() == 0 &&
                             std::find(v.data.begin(), v.data.end() - 1, 0) == v.data.end() - 1;
            if (plainText) {
                out += "\"" + escapeText(std::string(v.data.begin(), v.data.end() - 1)) + "\"";
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                char buf[16];
                uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                             (static_cast<uint32_t>(v.data[3]) << 24);
                std::snprintf(buf, sizeof buf, "dword:%08x", d);
                out += buf;
            } else {
                std::vector<BYTE> bytes = v.data;
                if (isTextType(v.type)) {
                    std::string u = utf8ToUtf16le(std::string(bytes.begin(), bytes.end()));
                    bytes.assign(u.begin(), u.end());
                }
                char buf[16];
                std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
                out += (v.type == REG_BINARY ? std::string("hex:") : std::string(buf)) +
                       hexList(bytes);
            }
            out += "\n";
        }
    }
    return out;
}

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The text of imported.reg; empty when there is none. Throws when it exists but cannot be
// read, as rewriting it from nothing would lose every key imported before.
std::string readImported(const std::string& target) {
    Fd f(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) {
        if (errno == ENOENT) return {};
        throw JetError::make(err::kCantOpenFile, target);
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw JetError::make(err::kDiskError);
        if (n == 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

// Writes `text` to a new file of the folder and renames it over `target`, so that a reader
// sees the old file or the new one, never part of one, and a crash loses neither. The new
// file keeps the old one's owner, group and permissions as far as this account may.
void replaceFile(int folder, const std::string& target, const std::string& text) {
    std::string tmp;
    int fd = -1;
    for (int i = 0; fd < 0; ++i) {
        // A dot in front and no ".reg" at the end: never read as part of the registry.
        tmp = Folder() + "/.imported.reg." + std::to_string(::getpid()) + "." + std::to_string(i);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || i >= 100))
            throw JetError::make(err::kCantOpenFile, target);
    }
    Fd f(fd);
    struct stat old;
    if (::stat(target.c_str(), &old) == 0) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            [[maybe_unused]] int rc = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        }
        [[maybe_unused]] int rc = ::fchmod(fd, old.st_mode & 07777);
    }
    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
        ::unlink(tmp.c_str());
        throw JetError::make(err::kDiskError);
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw JetError::make(err::kCantOpenFile, target);
    }
    // The rename itself lasts only once the folder is synced.
    if (::fsync(folder) != 0) throw JetError::make(err::kDiskError);
}

}  // namespace

void Import(const std::string& path) {
    std::string bytes = readAll(path);
    if (bytes.empty() && !std::ifstream(path).good())
        throw JetError::make(err::kFileNotFound, path);
    RegFile incoming = ParseRegFile(bytes);
    std::string target = Folder() + "/" + kImported;
    // Imports run one at a time, each holding the folder locked from reading imported.reg to
    // renaming the new one into place: two that overlapped would each keep only their own keys.
    Fd folder(::open(Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) throw JetError::make(err::kCantOpenFile, target);
    while (::flock(folder.fd, LOCK_EX) != 0) {
        if (errno != EINTR) throw JetError::make(err::kCantOpenFile, target);
    }
    Store store;
    std::string existing = readImported(target);
    if (!existing.empty()) apply(store, ParseRegFile(existing), target);
    apply(store, incoming, target);
    std::map<std::string, std::map<std::string, RegValue>> keys;
    for (const auto& [l, k] : store) {
        auto& vals = keys[k.name];
        for (const auto& [ln, v] : k.values) vals[v.first] = v.second;
    }
    replaceFile(folder.fd, target, WriteRegFile(keys));
}  // closing the folder releases the lock

bool ReadKey(const std::string& fullKey, std::map<std::string, RegValue>& values) {
    std::string key = normalizeKey(fullKey);
    if (key.empty()) return false;
    Store store = loadStore();
    auto it = store.find(lower(key));
    if (it == store.end()) return false;
    values.clear();
    for (const auto& [l, v] : it->second.values) values[v.first] = v.second;
    return true;
}

}  // namespace registry

// ---- the registry calls ------------------------------------------------------------------

namespace {

constexpr DWORD kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /*KEY_CREATE_LINK*/ |
                               0x10000 /*DELETE*/ | 0x40000 /*WRITE_DAC*/ | 0x80000 /*WRITE_OWNER*/;

RegKeyHandle* rootHandle(DWORD id) {
    static RegKeyHandle roots[6];
    static bool made = false;
    if (!made) {
        const char* names[6] = {
            "HKEY_CLASSES_ROOT",  "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", nullptr,
            "HKEY_CURRENT_CONFIG"};
        for (int i = 0; i < 6; ++i) {
            roots[i].isRoot = true;
            roots[i].path = names[i] ? names[i] : "";
        }
        made = true;
    }
    DWORD k = id - 0x80000000u;
    if (k > 5 || k == 4) return nullptr;
    return &roots[k];
}

bool isRoot(HKEY h) {
    for (DWORD id : {0x80000000u, 0x80000001u, 0x80000002u, 0x80000003u, 0x80000005u})
        if (h == rootHandle(id)) return true;
    return false;
}

}  // namespace

HKEY RegRoot(DWORD id) {
    return rootHandle(id);
}

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD samDesired, HKEY* result) {
    if (!root || !result) return ERROR_INVALID_HANDLE;
    *result = nullptr;
    std::string path = root->path;
    if (subKey && *subKey) {
        std::string sub = subKey;
        while (!sub.empty() && sub.front() == '\\') sub.erase(sub.begin());
        path += "\\" + sub;
    }
    while (!path.empty() && path.back() == '\\') path.pop_back();
    std::string lowered;
    for (char c : path)
        lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    registry::Store store = registry::loadStore();
    auto it = store.find(lowered);
    if (it == store.end()) return ERROR_FILE_NOT_FOUND;
    if (samDesired & kWriteAccess) {
        const std::string& file = it->second.file;
        if (!file.empty() ? ::access(file.c_str(), W_OK) != 0
                          : ::access(registry::Folder().c_str(), W_OK) != 0)
            return ERROR_ACCESS_DENIED;
    }
    auto* h = new RegKeyHandle;
    h->path = it->second.name;
    for (const auto& [l, v] : it->second.values) h->values[l] = v.second;
    *result = h;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    std::string name;
    for (const char* p = valueName ? valueName : ""; *p; ++p)
        name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
    auto it = key->values.find(name);
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const registry::RegValue& v = it->second;
    if (type) *type = v.type;
    DWORD needed = static_cast<DWORD>(v.data.size());
    if (!data) {
        if (cbData) *cbData = needed;
        return ERROR_SUCCESS;
    }
    if (*cbData < needed) {
        *cbData = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, v.data.data(), needed);
    *cbData = needed;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (isRoot(key)) return ERROR_SUCCESS;
    delete key;
    return ERROR_SUCCESS;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer, DWORD size,
                     void*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) return 0;
    static const std::map<DWORD, const char*> texts = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {87, "The parameter is incorrect."},
        {234, "More data is available."},
        {259, "No more data is available."},
        {1009, "The configuration registry database is corrupt."},
        {1010, "The configuration registry key is invalid."},
    };
    auto it = texts.find(messageId);
    if (it == texts.end()) return 0;
    std::string text = std::string(it->second) + "\r\n";
    if (text.size() + 1 > size) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // namespace kelvor
