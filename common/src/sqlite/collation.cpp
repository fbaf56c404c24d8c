#include "sqlite/collation.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <vector>

#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

namespace {

inline unsigned char asciiLower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// The two levels of a text's order: its letters folded with marks left out, then its letters
// folded with their marks. Both come from the canonical decomposition, so "é" written as one
// code point and as "e" with a combining accent are the same text.
struct Keys {
    std::u16string utf16, nfd;
    std::u32string letters, marked;
};

void keysOf(std::string_view s, Keys& k) {
    k.letters.clear();
    k.marked.clear();
    if (s.empty()) return;
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = 0;
    k.utf16.resize(s.size());
    // Bytes that are not UTF-8 read as U+FFFD: such texts still order, all alike.
    u_strFromUTF8WithSub(k.utf16.data(), static_cast<int32_t>(k.utf16.size()), &n, s.data(),
                         static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &status);
    k.utf16.resize(static_cast<size_t>(n));
    status = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    const UChar* text = k.utf16.data();
    int32_t len = n;
    if (U_SUCCESS(status)) {
        k.nfd.resize(static_cast<size_t>(n) * 2 + 8);
        int32_t m = unorm2_normalize(nfd, k.utf16.data(), n, k.nfd.data(),
                                     static_cast<int32_t>(k.nfd.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            status = U_ZERO_ERROR;
            k.nfd.resize(static_cast<size_t>(m));
            m = unorm2_normalize(nfd, k.utf16.data(), n, k.nfd.data(), m, &status);
        }
        if (U_SUCCESS(status)) {
            text = k.nfd.data();
            len = m;
        }
    }
    for (int32_t i = 0; i < len;) {
        UChar32 c;
        U16_NEXT(text, i, len, c);
        UChar32 f = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        k.marked.push_back(static_cast<char32_t>(f));
        if (u_charType(c) != U_NON_SPACING_MARK) k.letters.push_back(static_cast<char32_t>(f));
    }
}

int compareKeys(std::string_view a, std::string_view b) {
    thread_local Keys ka, kb;
    keysOf(a, ka);
    keysOf(b, kb);
    int r = ka.letters.compare(kb.letters);
    if (r == 0) r = ka.marked.compare(kb.marked);
    return r;
}

bool allAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

int collate(void*, int na, const void* a, int nb, const void* b) {
    return CompareText({static_cast<const char*>(a), static_cast<size_t>(na)},
                       {static_cast<const char*>(b), static_cast<size_t>(nb)});
}

template <typename Map>
std::u32string decode(std::string_view s, Map map) {
    std::u32string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t n = static_cast<int32_t>(s.size());
    for (int32_t i = 0; i < n;) {
        int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        // A byte that starts no character stays itself, apart from every character.
        out.push_back(c < 0 ? static_cast<char32_t>(0x110000 + p[at]) : map(c));
    }
    return out;
}

template <typename Map>
std::string mapText(std::string_view s, Map map) {
    if (allAscii(s)) {
        std::string out(s);
        for (char& c : out)
            c = static_cast<char>(map(static_cast<UChar32>(static_cast<unsigned char>(c))));
        return out;
    }
    std::string out;
    out.reserve(s.size() + 8);
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t n = static_cast<int32_t>(s.size());
    for (int32_t i = 0; i < n;) {
        int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) {
            out.append(s.substr(static_cast<size_t>(at), static_cast<size_t>(i - at)));
            continue;
        }
        uint8_t buf[U8_MAX_LENGTH];
        int32_t k = 0;
        U8_APPEND_UNSAFE(buf, k, map(c));
        out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(k));
    }
    return out;
}

int32_t applicationId(sqlite3* db, const std::string& schema) {
    Stmt st(db, "PRAGMA " + dialect::QuoteIdent(schema) + ".application_id");
    return st.step() ? static_cast<int32_t>(st.integer(0)) : 0;
}

}  // namespace

int CompareText(std::string_view a, std::string_view b) {
    // ASCII on both sides, as far as they agree, is SQLite's NOCASE byte for byte; only what
    // follows the first other character needs the full keys.
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if ((x | y) >= 0x80) return compareKeys(a.substr(i), b.substr(i));
        x = asciiLower(x);
        y = asciiLower(y);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    std::string_view rest = a.size() > n ? a.substr(n) : b.substr(n);
    // A longer text is greater, unless all it adds are accents, which count only second.
    if (!allAscii(rest)) return compareKeys(a.substr(n), b.substr(n));
    return a.size() < b.size() ? -1 : 1;
}

std::u32string FoldedCodePoints(std::string_view s) {
    return decode(
        s, [](UChar32 c) { return static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)); });
}

std::u32string CodePoints(std::string_view s) {
    return decode(s, [](UChar32 c) { return static_cast<char32_t>(c); });
}

std::string UpperText(std::string_view s) {
    return mapText(s, [](UChar32 c) { return u_toupper(c); });
}

std::string LowerText(std::string_view s) {
    return mapText(s, [](UChar32 c) { return u_tolower(c); });
}

void RegisterCollation(sqlite3* db) {
    sqlite3_create_collation_v2(db, "NOCASE", SQLITE_UTF8, nullptr, collate, nullptr);
}

bool HasTextOrder(sqlite3* db, const std::string& schema) {
    return applicationId(db, schema) == kTextOrderMark;
}

void AdoptTextOrder(sqlite3* db, const std::string& schema) {
    if (HasTextOrder(db, schema)) return;
    const std::string s = dialect::QuoteIdent(schema);
    if (sqlite3_exec(db, dialect::kBegin, nullptr, nullptr, nullptr) != SQLITE_OK) return;
    try {
        std::vector<std::string> tables;
        {
            Stmt st(db, "SELECT name FROM " + s +
                            ".sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite^_%' "
                            "ESCAPE '^'");
            while (st.step()) tables.push_back(st.text(0));
        }
        // Two programs may both do this at once: the second merely rebuilds the indexes again.
        for (const auto& t : tables) Exec(db, "REINDEX " + s + "." + dialect::QuoteIdent(t));
        Exec(db, "PRAGMA " + s + ".application_id=" + std::to_string(kTextOrderMark));
        Exec(db, dialect::kCommit);
    } catch (...) {
        sqlite3_exec(db, dialect::kRollback, nullptr, nullptr, nullptr);
    }
}

}  // namespace kelvor::sqlite
