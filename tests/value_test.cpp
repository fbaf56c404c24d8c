#include <gtest/gtest.h>

#include <limits>

#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "test_util.h"

using kelvor::Currency;
using kelvor::Date;
using kelvor::JetError;
using kelvor::Value;

TEST(CurrencyTest, ParsesDecimalTextExactly) {
    struct Case {
        const char* text;
        int64_t raw;
    } cases[] = {
        {"0.10", 1000},
        {"0.2", 2000},
        {"-3", -30000},
        {"12.3456", 123456},
        {"1.00005", 10000},
        {"1.00015", 10002},
        {"1.000051", 10001},
        {"  7.5 ", 75000},
        {"+4", 40000},
        {".5", 5000},
        {"922337203685477.5807", INT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(Currency::parse(c.text).raw(), c.raw) << c.text;
    EXPECT_EQ(kelvor::test::ErrorOf([] { Currency::parse("1.2.3"); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Currency::parse("abc"); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Currency::parse("99999999999999999999"); }), 6);
}

TEST(CurrencyTest, SumsAreExactAndPrintShortest) {
    Currency a = Currency::parse("0.10"), b = Currency::parse("0.20");
    EXPECT_EQ(Currency::fromRaw(a.raw() + b.raw()), Currency::parse("0.30"));
    EXPECT_EQ(Currency::parse("0.30").toString(), "0.3");
    EXPECT_EQ(Currency::parse("-12.0001").toString(), "-12.0001");
    EXPECT_EQ(Currency::parse("100").toString(), "100");
    EXPECT_EQ(Currency::fromDouble(2.00005).raw(), 20000);  // half to even
    EXPECT_EQ(Currency::fromDouble(2.00015).raw(), 20002);
}

TEST(DateTest, CalendarAndDayZero) {
    EXPECT_EQ(Date::fromParts(1899, 12, 30).seconds(), 0);
    EXPECT_EQ(Date::fromParts(1899, 12, 31).serial(), 1.0);
    EXPECT_EQ(Date::fromParts(1899, 12, 29, 18).serial(), -0.25);
    EXPECT_EQ(Date::fromParts(2000, 2, 29, 13, 14, 15).toString(), "2000-02-29 13:14:15");
    EXPECT_EQ(Date::fromParts(1600, 3, 1).toString(), "1600-03-01 00:00:00");
    EXPECT_EQ(kelvor::test::ErrorOf([] { Date::fromParts(2001, 2, 29); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Date::fromParts(2001, 13, 1); }), 13);
    Date d = Date::fromParts(1899, 12, 29, 6);
    EXPECT_EQ(d.dayNumber(), -1);  // before day 0 the day still starts at midnight
    EXPECT_EQ(d.datePart().toString(), "1899-12-29 00:00:00");
}

TEST(DateTest, ParsesEngineLiterals) {
    struct Case {
        const char* text;
        const char* iso;
    } cases[] = {
        {"01/1/68", "1968-01-01 00:00:00"},
        {"1/1/29", "2029-01-01 00:00:00"},
        {"01/1/2099", "2099-01-01 00:00:00"},
        {"12/7/2026 10:30:05", "2026-12-07 10:30:05"},
        {"2026-12-07", "2026-12-07 00:00:00"},
        {"3/4/2020 1:05 PM", "2020-03-04 13:05:00"},
        {"12/31/1999 12:00:00 AM", "1999-12-31 00:00:00"},
        {"10:00:00", "1899-12-30 10:00:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(Date::parse(c.text).toString(), c.iso) << c.text;
    EXPECT_EQ(kelvor::test::ErrorOf([] { Date::parse("13/1/2020"); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Date::parse("yesterday"); }), 13);
}

TEST(ValueTest, ConversionsFollowTheRuntime) {
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value().toBool(); }), 94);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value().toString(); }), 94);
    EXPECT_EQ(Value().text(), "");
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value("abc").toLong(); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value(40000).toInteger(); }), 6);
    EXPECT_EQ(Value(2.5).toLong(), 2);  // half to even
    EXPECT_EQ(Value(3.5).toLong(), 4);
    EXPECT_EQ(Value(true).toLong(), -1);
    EXPECT_TRUE(Value("True").toBool());
    EXPECT_FALSE(Value("0").toBool());
    EXPECT_EQ(Value(Currency::parse("1.5")).toDouble(), 1.5);
    EXPECT_EQ(Value("12.34").toCurrency().raw(), 123400);
    EXPECT_EQ(Value(1.0).toDate().toString(), "1899-12-31 00:00:00");
    EXPECT_EQ(Value("1/2/2021").toDate().toString(), "2021-01-02 00:00:00");
    EXPECT_EQ(Value(true).toString(), "True");
    EXPECT_EQ(Value(0.1).toString(), "0.1");
    EXPECT_EQ(Value(1e20).toString(), "1e+20");
    EXPECT_EQ(Value(0.1f).toString(), "0.1");
    EXPECT_EQ(Value("+4.5").toDouble(), 4.5);
    EXPECT_EQ(Value("1e-400").toDouble(), 0);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value("1e400").toDouble(); }), 6);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value("inf").toDouble(); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value("nan").toLong(); }), 13);
    EXPECT_EQ(kelvor::test::ErrorOf([] { Value("1,5").toDouble(); }), 13);
    EXPECT_EQ(Value(static_cast<int16_t>(-7)).type(), kelvor::VarType::Integer);
}

TEST(ValueTest, NumbersInStatementTextHaveTheRuntimeForm) {
    EXPECT_EQ(kelvor::NumberToSqlText(500), " 500");
    EXPECT_EQ(kelvor::NumberToSqlText(-20), "-20");
    EXPECT_EQ(kelvor::NumberToSqlText(0), " 0");
    EXPECT_EQ(kelvor::NumberToSqlText(0.5), " .5");
    EXPECT_EQ(kelvor::NumberToSqlText(-0.25), "-.25");
    EXPECT_EQ(kelvor::NumberToSqlText(1234.5), " 1234.5");
    // Neither has a form a statement could read.
    for (double v :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(kelvor::test::ErrorOf([v] { kelvor::NumberToSqlText(v); }), 6) << v;
}
