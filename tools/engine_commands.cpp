// kelvor users, compact, restore, workgroup and reg: the engine layer's platform pieces for
// administrators and scripts.
#include <cstdio>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "kelvor/dao.h"
#include "kelvor/error.h"
#include "kelvor/registry.h"
#include "kelvor/roster.h"
#include "kelvor/server.h"
#include "kelvor/workgroup.h"
#include "progress.h"

namespace kelvor::tool {

int Users(const Args& args) {
    if (args.size() != 1) Usage();
    std::vector<RosterUser> users;
    int n = ReadRoster(args[0], users);
    if (n < 0) throw Error::make(err::kFileNotFound, args[0]);
    for (const auto& u : users) std::cout << u.workstation << "\t" << u.user << "\n";
    return 0;
}

int Compact(const Args& args) {
    // A schema on a server is compacted where it is, so it needs no destination.
    const bool inPlace = args.size() == 1 && NamesServerDatabase(args[0]);
    if (args.size() != 2 && !inPlace) Usage();
    Progress progress("Compacting " + args[0]);
    CompactOptions options;
    options.progress = [&](uint64_t done, uint64_t total) {
        progress.report([&] { return std::to_string(total ? 100 * done / total : 0) + "%"; });
    };
    DBEngine().CompactDatabase(args[0], inPlace ? std::string() : args[1], options);
    return 0;
}

int Restore(const Args& args) {
    if (args.size() != 2) Usage();
    for (const auto& path : DBEngine().RestoreDatabase(args[0], args[1]))
        std::cout << "set aside: " << path << "\n";
    return 0;
}

namespace {

// A password is never on the command line, where other users could read it: it is standard
// input, without one final line break unless --raw asks for every byte.
std::string readPassword(bool raw) {
    std::string pw((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (!raw && !pw.empty() && pw.back() == '\n') {
        pw.pop_back();
        if (!pw.empty() && pw.back() == '\r') pw.pop_back();
    }
    return pw;
}

}  // namespace

int Workgroup(const Args& args) {
    Args rest;
    bool raw = false;
    for (const auto& a : args) {
        if (a == "--raw") {
            raw = true;
        } else {
            rest.push_back(a);
        }
    }
    if (rest.empty()) Usage();
    const std::string& verb = rest[0];
    if (verb == "create" && rest.size() == 2) {
        workgroup::Create(rest[1]);
    } else if (verb == "add-user" && rest.size() == 3) {
        workgroup::AddUser(rest[1], rest[2], readPassword(raw));
    } else if (verb == "check" && rest.size() == 3) {
        workgroup::Authenticate(rest[1], rest[2], readPassword(raw));
    } else {
        Usage();
    }
    return 0;
}

namespace {

[[noreturn]] void registryError(LONG code) {
    char buf[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code), 0, buf,
                             sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    throw Error(code, text.empty() ? "Registry error." : text);
}

const char* typeName(DWORD t) {
    switch (t) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "REG_NONE";
    }
}

std::string valueText(const registry::RegValue& v) {
    const auto& d = v.data;
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ)) {
        std::string s(d.begin(), d.end());
        while (!s.empty() && s.back() == '\0') s.pop_back();
        return s;
    }
    if (v.type == REG_DWORD && d.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x",
                      d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<unsigned>(d[3]) << 24));
        return buf;
    }
    std::string out;
    char buf[4];
    for (BYTE b : d) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

}  // namespace

int Reg(const Args& args) {
    if (args.size() == 2 && args[0] == "import") {
        registry::Import(args[1]);
        return 0;
    }
    if ((args.size() == 2 || args.size() == 3) && args[0] == "query") {
        std::map<std::string, registry::RegValue> values;
        if (!registry::ReadKey(args[1], values)) registryError(ERROR_FILE_NOT_FOUND);
        std::string shown = args[1];
        if (args.size() == 3) {
            auto it = values.end();
            for (auto v = values.begin(); v != values.end(); ++v) {
                std::string a = v->first, b = args[2];
                for (char& c : a)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                for (char& c : b)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (a == b) it = v;
            }
            if (it == values.end()) registryError(ERROR_FILE_NOT_FOUND);
            std::map<std::string, registry::RegValue> one{*it};
            values.swap(one);
        }
        std::cout << shown << "\n";
        for (const auto& [name, v] : values)
            std::cout << "    " << (name.empty() ? "(Default)" : name) << "    " << typeName(v.type)
                      << "    " << valueText(v) << "\n";
        return 0;
    }
    Usage();
}

}  // namespace kelvor::tool
