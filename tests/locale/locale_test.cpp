// The engine inside a Qt program whose user writes numbers with a decimal comma. The
// application object sets the C library's locale from the environment, so strtod, printf and
// their kin read and write "2,25" from then on; nothing the engine parses or prints may follow.
#include <gtest/gtest.h>
#include <QCoreApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "kelvor/dao.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "test_util.h"

namespace kelvor {
namespace {

std::string Describe(const Value& v) {
    return "type " + std::to_string(static_cast<int>(v.type())) + " " +
           (v.isNull() ? std::string("Null") : v.toString());
}

TEST(LocaleTest, NumbersIgnoreTheDecimalComma) {
    // Without the comma in force the cases below prove nothing: the locale must be installed
    // (scripts/install-deps.sh does it).
    const lconv* lc = std::localeconv();
    ASSERT_STREQ(lc->decimal_point, ",") << "LC_NUMERIC is " << std::setlocale(LC_NUMERIC, nullptr);
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.2f", 2.25);
    ASSERT_STREQ(printed, "2,25");

    test::TempDir dir;
    Database db = test::CreateAndOpen(dir.file("n.mdb"));
    db.Execute("CREATE TABLE t (Id LONG, C CURRENCY, D DOUBLE)");
    db.Execute("INSERT INTO t (Id, C, D) VALUES (1, 12.25, 2.5)");
    Recordset add = db.OpenRecordset("t", dbOpenDynaset);
    add.AddNew();
    add.Fields("Id") = Value(int32_t{2});
    add.Fields("C") = Value(0.75);
    add.Fields("D") = Value("0.125");
    add.Update();
    add.Close();

    // The first column of the first row of a query.
    auto first = [&](const std::string& sql) {
        return [&db, sql] {
            Recordset rs = db.OpenRecordset(sql, dbOpenSnapshot);
            return rs.Fields(0).Value();
        };
    };
    auto of = [](const std::string& expr) { return "SELECT " + expr + " FROM t WHERE Id = 1"; };
    struct Case {
        std::string what;
        std::function<Value()> got;
        Value expected;
    };
    const Case cases[] = {
        {"Val", first(of("Val(\"2.25\")")), 2.25},
        {"Val with blanks and an exponent", first(of("Val(\" 1 2.5e1x\")")), 125.0},
        {"1.5 + 0", first(of("1.5 + 0")), 1.5},
        {"1e3", first(of("1e3")), 1000.0},
        {"CDbl of text", first(of("CDbl(\"2.5\")")), 2.5},
        {"CStr of a double", first(of("CStr(1.5)")), "1.5"},
        {"CStr of money", first(of("CStr(C)")), "12.25"},
        {"CCur of text", first(of("CCur(\"3.125\")")), Currency::parse("3.125")},
        {"Round", first(of("Round(D / 2, 1)")), 1.2},
        {"text compared with a number", first("SELECT Id FROM t WHERE (\"0.125\" & \"\") = D"),
         int32_t{2}},
        {"CURRENCY written by SQL", first(of("C")), Currency::parse("12.25")},
        {"DOUBLE written by SQL", first(of("D")), 2.5},
        {"CURRENCY written by a recordset", first("SELECT C FROM t WHERE Id = 2"),
         Currency::parse("0.75")},
        {"DOUBLE written by a recordset", first("SELECT D FROM t WHERE Id = 2"), 0.125},
        {"NumberToSqlText", [] { return Value(NumberToSqlText(2.5)); }, " 2.5"},
        {"a number put in a statement",
         first("SELECT Id FROM t WHERE C = " + NumberToSqlText(0.75)), int32_t{2}},
        {"Value::toString", [] { return Value(Value(2.25).toString()); }, "2.25"},
        {"Value::toDouble of text", [] { return Value(Value("2.25").toDouble()); }, 2.25},
        {"Value::toCurrency of text", [] { return Value(Value("0.5").toCurrency()); },
         Currency::parse("0.5")},
    };
    for (const Case& c : cases) {
        try {
            Value v = c.got();
            EXPECT_TRUE(v == c.expected)
                << c.what << ": " << Describe(v) << ", not " << Describe(c.expected);
        } catch (const JetError& e) {
            ADD_FAILURE() << c.what << ": error " << e.number() << " " << e.description();
        }
    }
}

}  // namespace
}  // namespace kelvor

int main(int argc, char** argv) {
    // The application object takes the C library's locale from these.
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    ::setenv("LANG", "de_DE.UTF-8", 1);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
