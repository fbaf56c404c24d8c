// Text order: the fast path over printable ASCII must agree with ICU's collator everywhere,
// also where an accent, a control character or a letter beyond ASCII follows.
#include <gtest/gtest.h>
#include <unicode/ucol.h>

#include <random>
#include <string>
#include <vector>

#include "sqlite/collation.h"

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

}  // namespace

TEST(CollationTest, AgreesWithIcusRootCollationAtSecondaryStrength) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* icu = ucol_open("", &status);
    ASSERT_TRUE(U_SUCCESS(status));
    ucol_setStrength(icu, UCOL_SECONDARY);
    const std::vector<std::string> pieces = {
        "a",    "A",  "b",    "B",    "e",
        "E",    "z",  "0",    "9",    " ",
        "-",    "_",  "'",    ".",    "~",
        "{",    "\t", "\x01", "\x7f", "é",
        "É",    "ä",  "ß",    "ss",   "\xcc\x81" /* combining acute */,
        "\xc3", "ø",  "€",    "Ω"};
    std::mt19937 rng(20261208);
    auto pick = [&] { return pieces[rng() % pieces.size()]; };
    int fails = 0;
    for (int n = 0; n < 200000 && fails < 10; ++n) {
        std::string a;
        for (size_t k = rng() % 6; k > 0; --k) a += pick();
        std::string b = a;
        // Mostly a small change somewhere in a copy, so that long equal prefixes are common.
        switch (rng() % 4) {
            case 0:
                b += pick();
                break;
            case 1:
                b.insert(rng() % (b.size() + 1), pick());
                break;
            case 2:
                if (!b.empty()) b.erase(rng() % b.size(), 1);
                break;
            default:
                b.clear();
                for (size_t k = rng() % 6; k > 0; --k) b += pick();
        }
        status = U_ZERO_ERROR;
        int want = sign(ucol_strcollUTF8(icu, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                         static_cast<int32_t>(b.size()), &status));
        int got = sign(kelvor::sqlite::CompareText(a, b));
        if (got != want) {
            ++fails;
            ADD_FAILURE() << "'" << a << "' vs '" << b << "': " << got << ", ICU " << want;
        }
    }
    ucol_close(icu);
}
