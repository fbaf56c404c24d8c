// kelvor report, opened in headless Chromium: the page loads without a console message, every
// figure on it (chart marks and table cells alike) equals what `kelvor sql` computes from the
// same files, the embedded JSON equals `--json`, and the files are left unchanged. The page's
// screenshot is kept when KELVOR_REPORT_OUT names a folder (scripts/report-screenshot.sh).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "test_util.h"

using kelvor::test::CommandResult;
using kelvor::test::ReadFile;
using kelvor::test::RunKelvor;
using kelvor::test::TempDir;

namespace {

CommandResult shell(const std::string& cmd, const TempDir& io) {
    std::string out = io.file("sh.out"), err = io.file("sh.err");
    int rc = std::system((cmd + " >" + out + " 2>" + err + " </dev/null").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
}

std::vector<QJsonObject> sql(const std::string& db, const std::string& statement) {
    auto r = RunKelvor("sql --json " + db + " '" + statement + "'");
    EXPECT_EQ(r.status, 0) << statement << "\n" << r.err;
    std::vector<QJsonObject> rows;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        rows.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    return rows;
}

void run(const std::string& args) {
    auto r = RunKelvor(args);
    ASSERT_EQ(r.status, 0) << args << "\n" << r.err;
}

std::string key(const QJsonValue& type) {
    return type.isNull() ? "none" : std::to_string(type.toInt());
}

// A figure as text: numbers in the shortest form that reads back the same.
std::string text(const QJsonValue& v) {
    if (v.isBool()) return v.toBool() ? "true" : "false";
    if (v.isNull() || v.isUndefined()) return "null";
    if (v.isDouble()) return QString::number(v.toDouble(), 'g', 17).toStdString();
    return v.toString().toStdString();
}
std::string normal(const std::string& s) {
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    return !s.empty() && *end == '\0' ? text(QJsonValue(d)) : s;
}

}  // namespace

TEST(ReportTest, PageInChromiumShowsWhatSqlComputes) {
    TempDir dir;
    const std::string dt = dir.file("acme/DT.mdb"), ca = dir.file("acme/CA.mdb");
    const QDate day0 = QDate::currentDate();  // the report's day, whatever the clock says later
    const std::string today = day0.toString(Qt::ISODate).toStdString();
    const std::string jetToday = "#" + day0.toString("MM/dd/yyyy").toStdString() + "#";
    // A queue of every age, a history of followed-up entries over more than 30 days, an entry
    // with no type, no date and no Customer Accounts row, a rule switched off, a Null day count.
    run("create-company " + dir.file("acme") + " --customers 400 --seed 11");
    run("process-queue --dt " + dt + " --ca " + ca);
    run("sql " + dt + " 'UPDATE tblDTQueue SET FollowedUp=True WHERE QueueID Mod 3 = 0'");
    run("process-queue --dt " + dt + " --ca " + ca);
    run("sql " + dt +
        " 'UPDATE tblDtQueueHist SET EntryDate = DateAdd(\"d\", -(HistID Mod 37), EntryDate)'");
    run("sql " + dt +
        " 'UPDATE tblDTQueue SET EntryDate = DateAdd(\"d\", 2 - (QueueID Mod 45), EntryDate)'");
    run("sql " + dt +
        " 'INSERT INTO tblDTQueue (CustID, LogID, TransType, Remark) VALUES (\"NOBODY\", 0, "
        "Null, \"Queued by hand.\")'");
    run("sql " + dt + " 'UPDATE tblDtOptionsSession SET Chk_60Days=False, Chk_FollowUp2_x=Null'");

    std::string before = ReadFile(dt) + ReadFile(ca);
    std::string page = dir.file("report.html");
    run("report --dt " + dt + " --ca " + ca + " --today " + today + " --out " + page);
    auto json = RunKelvor("report --json --dt " + dt + " --today " + today);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(ReadFile(dt) + ReadFile(ca), before) << "the report wrote to a database";

    // The page as Chromium has it once loaded. Any console message fails the test: the page
    // has no script, and its content policy makes any reference outside the file an error.
    const char* env = std::getenv("KELVOR_CHROMIUM");
    std::string chromium =
        std::string(env && *env ? env : "chromium") +
        " --headless --no-sandbox --disable-gpu --user-data-dir=" + dir.file("profile") + " ";
    auto load = [&](const std::string& file) {
        return shell(chromium + "--enable-logging=stderr --v=0 --dump-dom file://" + file, dir);
    };
    // First a page that does log, so that a browser whose log no longer shows the console
    // cannot pass the report by saying nothing.
    std::ofstream(dir.file("canary.html")) << "<script>console.error('canary')</script>";
    auto canary = load(dir.file("canary.html"));
    ASSERT_EQ(canary.status, 0) << "chromium could not run (scripts/install-deps.sh installs it)\n"
                                << canary.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(canary.err, m, std::regex(":CONSOLE.*canary"))) << canary.err;
    auto dom = load(page);
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_FALSE(std::regex_search(dom.err, m, std::regex(".*:CONSOLE.*"))) << m.str();
    ASSERT_NE(dom.out.find("Work queue report"), std::string::npos) << dom.out;

    // Every figure, from the chart marks and the cells; the cells' text must read as its value.
    std::map<std::string, std::vector<std::string>> shown;
    std::regex figRe("<(\\w+)[^>]*? data-fig=\"([^\"]*)\" data-v=\"([^\"]*)\"[^>]*>([^<]*)");
    for (std::sregex_iterator it(dom.out.begin(), dom.out.end(), figRe), end; it != end; ++it) {
        std::string tag = (*it)[1], k = (*it)[2], v = (*it)[3], cell = (*it)[4];
        shown[k].push_back(normal(v));
        if (tag == "td" && (v == "true" || v == "false")) {
            EXPECT_EQ(cell.substr(cell.rfind(' ') + 1), v == "true" ? "on" : "off") << k;
        } else if (tag == "td") {
            cell.erase(std::remove(cell.begin(), cell.end(), ','), cell.end());
            EXPECT_EQ(normal(cell), normal(v)) << k;
        }
    }
    std::map<std::string, std::string> expected;
    auto expect = [&](const std::string& k, const QJsonValue& v) { expected[k] = normal(text(v)); };

    int64_t entries = 0;
    for (const auto& r :
         sql(dt, "SELECT TransType, Count(*) AS N FROM tblDTQueue GROUP BY TransType")) {
        std::string t = key(r["TransType"]);
        expect("reason." + t + ".entries", r["N"]);
        expect("reason." + t + ".owed", 0);  // until a Customer Accounts row says otherwise
        for (const char* b : {"today", "d1_7", "d8_30", "older", "undated"})
            expect("age." + t + "." + b, 0);
        entries += r["N"].toInt();
    }
    expect("entries", QJsonValue(static_cast<double>(entries)));
    const std::string owed =
        "(h.CurAmtDue+h.BalAge1+h.BalAge2+h.BalAge3+h.BalAge4-"
        "h.UnapplCredit+h.UnpaidFinch)";
    int64_t owedRaw = 0;  // in ten-thousandths, as the engine counts money
    for (const auto& r : sql(dt, "SELECT q.TransType, Sum" + owed +
                                     " AS Owed FROM tblDTQueue AS q INNER JOIN tblCaClientHist "
                                     "AS h ON q.CustID = h.ClientId GROUP BY q.TransType")) {
        expect("reason." + key(r["TransType"]) + ".owed", r["Owed"]);
        owedRaw += std::llround(r["Owed"].toDouble() * 10000);
    }
    expect("owed", static_cast<double>(owedRaw) / 10000);
    std::map<std::string, int> ages;
    for (const auto& r : sql(dt, "SELECT TransType, DateDiff(\"d\", EntryDate, " + jetToday +
                                     ") AS Age, Count(*) AS N FROM tblDTQueue GROUP BY "
                                     "TransType, DateDiff(\"d\", EntryDate, " +
                                     jetToday + ")")) {
        int age = r["Age"].toInt();
        const char* b = r["Age"].isNull() ? "undated"
                        : age <= 0        ? "today"
                        : age <= 7        ? "d1_7"
                        : age <= 30       ? "d8_30"
                                          : "older";
        ages["age." + key(r["TransType"]) + "." + b] += r["N"].toInt();
    }
    for (const auto& [k, n] : ages) expect(k, n);
    for (int d = 0; d < 30; ++d)
        expect("followup." + day0.addDays(-d).toString(Qt::ISODate).toStdString(), 0);
    int followed = 0;
    for (const auto& r : sql(dt, "SELECT DateDiff(\"d\", EntryDate, " + jetToday +
                                     ") AS Age, Count(*) AS N FROM tblDtQueueHist WHERE "
                                     "FollowedUp=True GROUP BY DateDiff(\"d\", EntryDate, " +
                                     jetToday + ")")) {
        int age = r["Age"].toInt();
        if (r["Age"].isNull() || age < 0 || age >= 30) continue;
        expect("followup." + day0.addDays(-age).toString(Qt::ISODate).toStdString(), r["N"]);
        followed += r["N"].toInt();
    }
    ASSERT_GT(followed, 0);
    expect("followup.total", followed);
    int rank = 0;
    for (const auto& r : sql(dt, "SELECT TOP 20 q.CustID, Sum" + owed +
                                     " AS Owed FROM tblDTQueue AS q INNER JOIN tblCaClientHist "
                                     "AS h ON q.CustID = h.ClientId GROUP BY q.CustID ORDER BY "
                                     "Sum" +
                                     owed + " DESC, q.CustID")) {
        if (++rank > 20) break;
        expect("top." + std::to_string(rank) + ".cust", r["CustID"]);
        expect("top." + std::to_string(rank) + ".owed", r["Owed"]);
    }
    QJsonObject options = sql(dt, "SELECT * FROM tblDtOptionsSession").at(0);
    for (const char* c :
         {"Chk_ResetQueue", "Chk_FollowUp3", "Chk_FollowUp3Priority", "Chk_FollowUp2",
          "Chk_FollowUp2_x", "Chk_FollowUp1", "Chk_FollowUp1_x", "Chk_120Days", "Chk_90Days",
          "Chk_60Days", "Chk_30Days", "Chk_OverLimit", "Chk_NearLimit", "Chk_NearLimit_Amt",
          "Chk_CreditHold", "Chk_MinFIA", "Chk_MinFIA_Amt"})
        expect(std::string("option.") + c, options[c].isNull() ? QJsonValue(0) : options[c]);
    expect("lastQueueProc", options["LastQueueProc"]);
    expect("today", QString::fromStdString(today));

    for (const auto& [k, v] : expected) {
        ASSERT_TRUE(shown.count(k)) << k << " is not on the page";
        for (const std::string& s : shown[k]) EXPECT_EQ(s, v) << k;
    }
    for (const auto& [k, v] : shown) EXPECT_TRUE(expected.count(k)) << k << " is unexpected";
    // Charts as well as tables: each per-reason, per-age and per-day figure is drawn.
    for (const char* k : {"reason.1.entries", "reason.none.owed", "age.2.d8_30"})
        EXPECT_EQ(shown[k].size(), 2u) << k;

    // The JSON embedded in the page is --json's document.
    std::regex jsonRe("<script type=\"application/json\" id=\"kelvor-figures\">([^<]*)</script>");
    ASSERT_TRUE(std::regex_search(dom.out, m, jsonRe));
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(m[1].str())),
              QJsonDocument::fromJson(QByteArray::fromStdString(json.out)));

    // The screenshot, kept where KELVOR_REPORT_OUT says.
    const char* outDir = std::getenv("KELVOR_REPORT_OUT");
    std::string png =
        outDir && *outDir ? std::string(outDir) + "/report.png" : dir.file("report.png");
    if (outDir && *outDir)
        std::filesystem::copy_file(page, std::string(outDir) + "/report.html",
                                   std::filesystem::copy_options::overwrite_existing);
    auto shot = shell(chromium + "--hide-scrollbars --window-size=1100,4200 --screenshot=" + png +
                          " file://" + page,
                      dir);
    ASSERT_EQ(shot.status, 0) << shot.err;
    EXPECT_EQ(ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(ReportTest, FailuresWriteNothing) {
    TempDir dir;
    run("create-company " + dir.file("a") + " --customers 5");
    run("create-company " + dir.file("b") + " --customers 5");
    struct Case {
        std::string args, err;
    } cases[] = {
        {"--dt " + dir.file("none.mdb"), "error 3024: "},
        {"--dt " + dir.file("a/DT.mdb") + " --ca " + dir.file("b/CA.mdb"), "error 3001: "},
        {"--dt " + dir.file("a/DT.mdb") + " --today 8/12/2026", "error 5: usage: "},
    };
    for (const Case& c : cases) {
        auto r = RunKelvor("report " + c.args + " --out " + dir.file("r.html"));
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.args << "\n" << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("r.html"))) << c.args;
    }
}
