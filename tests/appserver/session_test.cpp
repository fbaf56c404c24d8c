// The application server's session without a bus: two sessions in this process stand for two
// servers on one company, and a scripted stand-in for the engine and the call-back object says
// what the server is asked meanwhile: the calls a server serves while it waits for the engine.
#include <gtest/gtest.h>

#include <functional>

#include "kelvor/collection_schema.h"
#include "server_session.h"
#include "test_util.h"

using namespace kelvor;
using appserver::ServerSession;

namespace {

const std::string kNotAvailable =
    "Kelvor is currently not available.\r\nPerhaps the Queue Update Process is currently in "
    "progress.\r\nPlease try again later !";
const std::string kBusy =
    "Another user is performing Queue Processing.\r\n\rPlease try again later !";

// The engine and the call-back object of one front end's object. Each background update gets
// a call-back object of a new name; `duringRequest` runs while the engine is asked for a run.
struct Objects : appserver::UpdateObjects {
    int made = 0;
    std::function<void()> duringCreate, duringRequest;
    bool ProcessQueue(const std::string&, const std::string&, const std::string&, int32_t&,
                      std::string&) override {
        return true;
    }
    std::string CreateUpdateObjects() override {
        if (duringCreate) std::exchange(duringCreate, nullptr)();
        return "cb" + std::to_string(++made);
    }
    bool UpdQueueAsync(const std::string&, const std::string&, const std::string&, int32_t&,
                       std::string&) override {
        if (duringRequest) std::exchange(duringRequest, nullptr)();
        return true;
    }
    void ReleaseUpdateObjects() override {}
};

struct Reply {
    std::string result;
    int32_t lErr = 0;
    std::string sError;
};

class SessionTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    queueengine::CompanyFiles c = queueengine::CreateCompany(dir.file("c"));
    ServerSession a, b;  // two servers
    Objects objects;

    Reply logon(ServerSession& s) {
        Reply r;
        r.result = s.Logon(c.dt, r.lErr, r.sError);
        return r;
    }
    Reply startUpdate(ServerSession& s) {
        Reply r;
        r.result = s.UpdateQueueAsync(objects, c.dt, c.ca, c.so, r.lErr, r.sError, false);
        return r;
    }
    Reply status(ServerSession& s) {
        Reply r;
        r.result = s.UpdQAsyncStatus(objects, r.lErr, r.sError);
        return r;
    }
    std::string logOff(ServerSession& s) {
        int32_t lErr = 0;
        std::string sError;
        return s.LogOff(lErr, sError);
    }
    // The other server can neither log on nor start an update.
    void expectLockedOut() {
        Reply r = logon(b);
        EXPECT_EQ(r.result, "-1" + kNotAvailable);
        EXPECT_EQ(r.lErr, 3027);
        r = startUpdate(b);
        EXPECT_EQ(r.result, "-1" + kBusy);
        EXPECT_EQ(r.lErr, 1238);
    }
};

}  // namespace

// A second request replaces the running update; whatever comes while it waits for its objects
// or for the engine, the lock is held until the second update's own call-back.
TEST_F(SessionTest, WhatComesDuringASecondRequestNeverFreesItsLock) {
    struct Meanwhile {
        const char* what;
        std::function<void()> call;
        bool alsoDuringRequest = true;
    };
    const std::vector<Meanwhile> meanwhile = {
        {"the first update's call-back", [&] { a.CallBack("cb1", 0, ""); }},
        {"the end of an object", [&] { a.ObjectEnded(); }},
        {"a logon", [&] { EXPECT_EQ(logon(a).result, ""); }},
        {"a status question", [&] { EXPECT_EQ(status(a).result, "01"); }},
        {"a log-off", [&] { EXPECT_EQ(logOff(a), ""); }},
        // Once the objects are made, an engine that ends is this update's own.
        {"the end of the first update's engine", [&] { a.EngineEnded(); }, false},
    };
    for (const auto& [what, call, alsoDuringRequest] : meanwhile)
        for (bool making : {true, false}) {
            if (!making && !alsoDuringRequest) continue;
            SCOPED_TRACE(std::string(what) + (making ? ", while the objects are made" : ""));
            ASSERT_EQ(logon(a).result, "");
            ASSERT_EQ(startUpdate(a).result, "");
            std::string first = "cb" + std::to_string(objects.made);
            // The objects are made anew when the front end starts the next update as soon as
            // the first one has ended; the engine is asked again also while one runs.
            if (making) a.CallBack(first, 0, "");
            (making ? objects.duringCreate : objects.duringRequest) = [&] {
                call();
                expectLockedOut();
            };
            ASSERT_EQ(startUpdate(a).result, "");
            std::string second = "cb" + std::to_string(objects.made);
            a.CallBack(first, 0, "");  // late, from the run the second request replaced
            EXPECT_TRUE(a.Processing());
            expectLockedOut();

            a.CallBack(second, 0, "");
            EXPECT_FALSE(a.Processing());
            EXPECT_EQ(status(a).result, "");
            Reply r = logon(b);
            EXPECT_EQ(r.result, "") << r.sError;
            logOff(b);
            logOff(a);
            objects.made = 0;
        }
}
