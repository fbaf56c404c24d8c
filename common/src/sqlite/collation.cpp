#include "sqlite/collation.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

namespace {

// ICU's root collation at secondary strength: letters first, then accents; case never counts.
// PostgreSQL's ICU collation "und-u-ks-level2" is the same order, so both engines sort and
// compare text alike. A collator is not shared between threads.
UCollator* collator() {
    struct Owned {
        UCollator* c = nullptr;
        ~Owned() {
            if (c) ucol_close(c);
        }
    };
    thread_local Owned owned;
    if (!owned.c) {
        UErrorCode status = U_ZERO_ERROR;
        owned.c = ucol_open("", &status);
        // Only an installation without ICU's data gets here; the order of every index depends
        // on the collator, so nothing may go on without it (and SQLite calls this from C,
        // where no exception may pass).
        if (U_FAILURE(status)) {
            std::fprintf(stderr, "kelvor: ICU's root collation cannot be opened: %s\n",
                         u_errorName(status));
            std::abort();
        }
        ucol_setStrength(owned.c, UCOL_SECONDARY);
    }
    return owned.c;
}

// On printable ASCII the collation is an alphabet: each character has one weight, a capital
// that of its small letter. The table holds those weights, read from the collator once, so that
// most comparisons never reach ICU; 0 marks every other byte.
struct AsciiWeights {
    uint8_t w[128] = {};
    AsciiWeights() {
        std::vector<char> chars;
        for (char c = 0x20; c < 0x7F; ++c) chars.push_back(c);
        UCollator* col = collator();
        auto cmp = [col](char x, char y) {
            UErrorCode status = U_ZERO_ERROR;
            return ucol_strcollUTF8(col, &x, 1, &y, 1, &status);
        };
        std::stable_sort(chars.begin(), chars.end(),
                         [&](char x, char y) { return cmp(x, y) == UCOL_LESS; });
        uint8_t rank = 0;
        for (size_t i = 0; i < chars.size(); ++i) {
            if (i == 0 || cmp(chars[i - 1], chars[i]) != UCOL_EQUAL) ++rank;
            w[static_cast<unsigned char>(chars[i])] = rank;
        }
    }
};

// The weight of the byte at i: -1 past the end, 0 for all but printable ASCII.
inline int weightAt(const uint8_t* w, std::string_view s, size_t i) {
    if (i >= s.size()) return -1;
    auto c = static_cast<unsigned char>(s[i]);
    return c < 0x80 ? w[c] : 0;
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
    static const AsciiWeights table;
    const uint8_t* w = table.w;
    // While both texts are printable ASCII, the first character that differs decides: every
    // such character carries a letter-level weight, and what follows it (an accent, a control
    // character ICU ignores) only ever weighs less. Anything else goes to ICU.
    for (size_t i = 0;; ++i) {
        const int x = weightAt(w, a, i), y = weightAt(w, b, i);
        if (x == 0 || y == 0) break;
        if (x != y) return x < y ? -1 : 1;  // the end (-1) sorts first
        if (x < 0) return 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    return ucol_strcollUTF8(collator(), a.data(), static_cast<int32_t>(a.size()), b.data(),
                            static_cast<int32_t>(b.size()), &status);
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
