// The queue engine served on a real bus: activation, calls by name, the background run and its
// call-back, and the lifetimes of objects and of the server process.
#include <QElapsedTimer>

#include "bus_fixture.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"
#include "test_util.h"

using namespace kelvor;
using automation::Arg;
using automation::Object;
using kelvor::test::BusTest;
using kelvor::test::Mute;
using kelvor::test::Receiver;
using kelvor::test::TempDir;

namespace {

const QString kEngine = "KelvorQueuePE.QueueEngine";

// The queue as rows of text, for comparing two runs.
std::vector<std::string> queueRows(const std::string& dt) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(dt);
    Recordset rs =
        db.OpenRecordset("SELECT CustID, LogID, TransType, Remark FROM tblDTQueue ORDER BY CustID",
                         dbOpenForwardOnly);
    std::vector<std::string> rows;
    while (!rs.EOF_()) {
        rows.push_back(
            rs.Fields("CustID").Value().text() + "|" + rs.Fields("LogID").Value().text() + "|" +
            rs.Fields("TransType").Value().text() + "|" + rs.Fields("Remark").Value().text());
        rs.MoveNext();
    }
    return rows;
}

class EngineServerTest : public BusTest {
  protected:
    TempDir dir;
};

}  // namespace

TEST_F(EngineServerTest, CreatingStartsTheServerAndCallsGoByName) {
    EXPECT_FALSE(hasOwner(kEngine));
    Object engine = Object::CreateObject(kEngine);
    EXPECT_TRUE(hasOwner(kEngine));
    EXPECT_EQ(kelvor::test::ErrorOf([&] { engine.CallByName("NoSuchMethod"); }), 438);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { Object::CreateObject("KelvorNowhere.Nothing"); }), 429);

    // A fresh engine has no database yet: GetLogID gives Null, and the id comes back.
    std::string id = "C000001";
    QVariant logId = engine.CallByName("GetLogID", {Arg::ByRef(id)});
    EXPECT_TRUE(automation::FromVariant(logId).isNull());
    EXPECT_EQ(id, "C000001");
    int about = engine.CallByName("About").toInt();
    EXPECT_TRUE(about == 0 || about == -1) << about;

    // Each object has its own state.
    Object second = Object::CreateObject(kEngine);
    EXPECT_NE(second.ref().path.path(), engine.ref().path.path());
}

TEST_F(EngineServerTest, ProcessQueueByNameMatchesTheInProcessRun) {
    auto a = queueengine::CreateCompany(dir.file("a"), {300, 11});
    auto b = queueengine::CreateCompany(dir.file("b"), {300, 11});
    queueengine::QueueEngine local;
    int32_t localErr = 7;
    std::string localText = "as passed";
    ASSERT_TRUE(local.ProcessQueue(a.dt, a.ca, a.so, localErr, localText));

    Object engine = Object::CreateObject(kEngine);
    int32_t lErr = 7;
    std::string sError = "as passed";
    QVariant ok =
        engine.CallByName("ProcessQueue", {b.dt, b.ca, b.so, Arg::ByRef(lErr), Arg::ByRef(sError)});
    EXPECT_TRUE(ok.toBool());
    EXPECT_EQ(lErr, 7);
    EXPECT_EQ(sError, "as passed");
    EXPECT_EQ(queueRows(b.dt), queueRows(a.dt));
    EXPECT_FALSE(queueRows(b.dt).empty());

    // The same failure, reported the same way.
    localErr = 0;
    localText.clear();
    ASSERT_FALSE(local.ProcessQueue("", a.ca, "", localErr, localText));
    lErr = 0;
    sError.clear();
    ok = engine.CallByName(
        "ProcessQueue", {std::string(), b.ca, std::string(), Arg::ByRef(lErr), Arg::ByRef(sError)});
    EXPECT_FALSE(ok.toBool());
    EXPECT_EQ(lErr, -1);
    EXPECT_EQ(sError, localText);

    // And GetLogID now reads the opened database.
    std::string id = "C000002";
    Value v = automation::FromVariant(engine.CallByName("GetLogID", {Arg::ByRef(id)}));
    EXPECT_EQ(v, local.GetLogID(id));
}

TEST_F(EngineServerTest, BackgroundRunCallsBackAboutTwoSecondsLater) {
    auto c = queueengine::CreateCompany(dir.file("c"), {200, 3});
    auto* good = new Receiver;
    Object goodRef = serveHere(good);
    Object engine = Object::CreateObject(kEngine);
    int32_t lErr = 0;
    std::string sError;
    QElapsedTimer t;
    t.start();
    good->armed.restart();
    QVariant ok = engine.CallByName(
        "UpdQueueAsync", {c.dt, c.ca, c.so, Arg(goodRef), Arg::ByRef(lErr), Arg::ByRef(sError)});
    EXPECT_TRUE(ok.toBool());
    EXPECT_LT(t.elapsed(), 1500);  // returns at once
    ASSERT_TRUE(waitFor([&] { return good->calls > 0; }, 15000));
    EXPECT_GE(good->msSinceArmed, 1900);
    EXPECT_EQ(good->lErr, 0);
    EXPECT_EQ(good->sError, "");
    EXPECT_FALSE(queueRows(c.dt).empty());

    // A run on a path that is no database reports the engine's error pair through CallBack.
    auto* bad = new Receiver;
    Object badRef = serveHere(bad);
    ok = engine.CallByName("UpdQueueAsync", {dir.file("none.mdb"), c.ca, c.so, Arg(badRef),
                                             Arg::ByRef(lErr), Arg::ByRef(sError)});
    EXPECT_TRUE(ok.toBool());
    ASSERT_TRUE(waitFor([&] { return bad->calls > 0; }, 15000));
    EXPECT_EQ(bad->lErr, 3024);
    EXPECT_EQ(bad->sError.toStdString(),
              "[KelvorQueuePE.QueueEngine.ProcessQueue][VB]; "
              "[KelvorQueuePE.QueueEngine.InitOptions][VB]; Could not find file '" +
                  dir.file("none.mdb") + "'.");
}

TEST_F(EngineServerTest, TwoQuickCallsMakeOneRunAndCallTheSecondObject) {
    auto c = queueengine::CreateCompany(dir.file("c"), {100, 5});
    auto* first = new Receiver;
    auto* second = new Receiver;
    Object firstRef = serveHere(first), secondRef = serveHere(second);
    Object engine = Object::CreateObject(kEngine);
    int32_t lErr = 0;
    std::string sError;
    engine.CallByName("UpdQueueAsync",
                      {c.dt, c.ca, c.so, Arg(firstRef), Arg::ByRef(lErr), Arg::ByRef(sError)});
    engine.CallByName("UpdQueueAsync",
                      {c.dt, c.ca, c.so, Arg(secondRef), Arg::ByRef(lErr), Arg::ByRef(sError)});
    ASSERT_TRUE(waitFor([&] { return second->calls > 0; }, 15000));
    waitFor([] { return false; }, 2500);  // a second run would have called back by now
    EXPECT_EQ(second->calls, 1);
    EXPECT_EQ(first->calls, 0);
}

// A request made from inside a run's call-back is accepted, and gets a run and a call-back of
// its own after the run that called back has ended.
TEST_F(EngineServerTest, ARequestDuringACallBackGetsARunOfItsOwn) {
    auto c = queueengine::CreateCompany(dir.file("c"), {100, 6});
    auto* first = new Receiver;
    auto* second = new Receiver;
    Object firstRef = serveHere(first), secondRef = serveHere(second);
    Object engine = Object::CreateObject(kEngine);
    int32_t lErr = 0;
    std::string sError;
    bool accepted = false;
    first->onCallBack = [&] {
        accepted = engine
                       .CallByName("UpdQueueAsync", {c.dt, c.ca, c.so, Arg(secondRef),
                                                     Arg::ByRef(lErr), Arg::ByRef(sError)})
                       .toBool();
    };
    engine.CallByName("UpdQueueAsync",
                      {c.dt, c.ca, c.so, Arg(firstRef), Arg::ByRef(lErr), Arg::ByRef(sError)});
    ASSERT_TRUE(waitFor([&] { return second->calls > 0; }, 20000));
    EXPECT_TRUE(accepted);
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(second->lErr, 0);
}

TEST_F(EngineServerTest, ACallBackWithoutTheMethodStillLetsTheRunEndAndTheServerGo) {
    auto c = queueengine::CreateCompany(dir.file("c"), {100, 9});
    Object muteRef = serveHere(new Mute);
    {
        Object engine = Object::CreateObject(kEngine);
        int32_t lErr = 0;
        std::string sError;
        EXPECT_TRUE(engine
                        .CallByName("UpdQueueAsync", {c.dt, c.ca, c.so, Arg(muteRef),
                                                      Arg::ByRef(lErr), Arg::ByRef(sError)})
                        .toBool());
    }
    // The form keeps the server alive through the run; then nothing does.
    ASSERT_TRUE(waitFor([&] { return !queueRows(c.dt).empty(); }, 15000));
    EXPECT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
}

TEST_F(EngineServerTest, AKilledClientsObjectsAreReleasedAndTheServerEnds) {
    kelvor::test::ChildProcess client({KELVOR_AUTOMATION_HOLDER, kEngine.toStdString()});
    ASSERT_EQ(client.readLine(), "ready");
    EXPECT_TRUE(hasOwner(kEngine));
    client.kill9();
    EXPECT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));

    // Released by its holder, an object ends and the idle server with it.
    Object engine = Object::CreateObject(kEngine);
    engine.Release();
    EXPECT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
}

TEST_F(EngineServerTest, AnObjectCanBeMadeAgainRightAfterTheServerLetItsLastOneGo) {
    // The server's exit and a new client's creation race; the client must always win an
    // object, from this server or a new one.
    for (int i = 0; i < 30; ++i) {
        Object engine = Object::CreateObject(kEngine);
        int32_t lErr = 0;
        std::string sError;
        engine.CallByName("ProcessQueue", {std::string(), std::string(), std::string(),
                                           Arg::ByRef(lErr), Arg::ByRef(sError)});
        EXPECT_EQ(lErr, -1) << i;
    }
}
