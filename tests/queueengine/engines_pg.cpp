// The same company on both engines: the queue update gives the same queue, history and call-log
// remarks from files as from a PostgreSQL server. Built into queueengine_pg_tests only.
#include <gtest/gtest.h>

#include <set>

#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "pg/pg_cluster.h"
#include "queue_test_support.h"
#include "test_util.h"

using namespace kelvor;

namespace {

// Every row of the tables a run writes, but for the moments the run took from the clock.
std::string Dump(const std::string& dtPath) {
    static const std::set<std::string> clock = {"EntryDate", "EntryTime", "LastQueueProc"};
    Database dt = DBEngine().Workspaces(0).OpenDatabase(dtPath);
    std::string out;
    for (const char* sql :
         {"SELECT * FROM tblDTQueue ORDER BY QueueID",
          "SELECT * FROM tblDtQueueHist ORDER BY HistID",
          "SELECT LogID, CustId, SystemRemark FROM tblDtCallLogHeader ORDER BY LogID",
          "SELECT * FROM tblDtOptionsSession ORDER BY OptionID"}) {
        Recordset rs = dt.OpenRecordset(sql, dbOpenForwardOnly);
        for (; !rs.EOF_(); rs.MoveNext()) {
            for (int i = 0; i < rs.FieldCount(); ++i) {
                const std::string name = rs.Fields(i).Name();
                out += name + "=" +
                       (clock.count(name) ? "(now)" : queuetest::Show(rs.Fields(i).Value())) + " ";
            }
            out += "\n";
        }
    }
    return out;
}

TEST(EnginesTest, TheQueueUpdateGivesTheSameTablesOnBothEngines) {
    test::TempDir dir;
    queueengine::SampleOptions sample;
    sample.customers = 400;
    sample.seed = 7;
    std::string dumps[2];
    const std::string bases[2] = {dir.file("company"), test::NewCompanyPath("engines_same")};
    for (int e = 0; e < 2; ++e) {
        queueengine::CompanyFiles f = queueengine::CreateCompany(bases[e], sample);
        {
            // Customers whom a rule selects twice (a second balance row), and call logs whose
            // customer id is spelled in lower case: rows whose insertions meet each other's
            // entries within one rule.
            Database dt = DBEngine().Workspaces(0).OpenDatabase(f.dt);
            dt.Execute(
                "INSERT INTO tblCaClientHist SELECT * FROM tblCaClientHist "
                "WHERE BalAge4 > 0 OR BalAge2 > 0",
                dbFailOnError);
            dt.Execute("UPDATE tblDtCallLogHeader SET CustId = LCase(CustId) WHERE LogID Mod 3 = 0",
                       dbFailOnError);
            dt.Close();
        }
        // Twice: the second run meets the first run's queue and moves its entries on.
        for (int run = 0; run < 2; ++run) {
            queueengine::QueueEngine engine;
            int32_t lErr = 0;
            std::string sError;
            ASSERT_TRUE(engine.ProcessQueue(f.dt, f.ca, f.so, lErr, sError)) << sError;
        }
        dumps[e] = Dump(f.dt);
    }
    EXPECT_GT(dumps[0].size(), 10000u);
    EXPECT_EQ(dumps[0], dumps[1]);
}

}  // namespace
