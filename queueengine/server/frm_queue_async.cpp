#include "frm_queue_async.h"

#include <cstdlib>

#include "kelvor/error.h"

namespace kelvor::queueengine {

namespace {
frmQueueAsync* g_form = nullptr;
}

automation::Object frmQueueAsync::m_oCallBack;
uint64_t frmQueueAsync::s_requests = 0;

int frmQueueAsync::Delay() {
    if (const char* v = std::getenv("KELVOR_TEST_ENGINE_DELAY_MS")) {
        int ms = std::atoi(v);
        if (ms > 0) return ms;
    }
    return 2000;
}

frmQueueAsync* frmQueueAsync::Load() {
    if (!g_form) {
        g_form = new frmQueueAsync;
        if (auto* server = automation::Server::instance()) server->hold();
    }
    return g_form;
}

frmQueueAsync* frmQueueAsync::Loaded() {
    return g_form;
}

frmQueueAsync::frmQueueAsync() {
    setObjectName("frmQueueAsync");
    Timer1.setSingleShot(true);
    // A coarse timer may fire a twentieth of its interval early or late.
    Timer1.setTimerType(Qt::PreciseTimer);
    connect(&Timer1, &QTimer::timeout, this, &frmQueueAsync::Timer1_Timer);
}

frmQueueAsync::~frmQueueAsync() {
    // The unload event: the run's engine object goes, the call-back object stays.
    try {
        m_oQueueEngine.Release();
    } catch (...) {
    }
}

void frmQueueAsync::Unload() {
    if (g_form != this) return;
    g_form = nullptr;
    deleteLater();
    if (auto* server = automation::Server::instance()) server->unhold();
}

// A run answers the requests made before it began, on the call-back object they left. One that
// arrives while it runs (the server serves calls while this run waits for the engine or for
// its caller) re-arms the timer and leaves its own call-back object: it gets a run and a
// call-back of its own, so the form stays loaded for it.
void frmQueueAsync::Timer1_Timer() {
    Timer1.stop();
    const uint64_t answered = s_requests;
    automation::Object callBack = m_oCallBack;
    int32_t lErr = 0;
    std::string sError;
    bool trapped = false;
    try {
        m_oQueueEngine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
        m_oQueueEngine.CallByName("ProcessQueue",
                                  {m_sDTPath, m_sARPath, m_sSOPath, automation::Arg::ByRef(lErr),
                                   automation::Arg::ByRef(sError)});
    } catch (const Error& e) {
        // The engine could not be made or called: that is the outcome to report.
        ErrorPair::fromException(e).writeTo(lErr, sError);
        trapped = true;
    }
    // From here errors are ignored: a call-back that fails is nobody's concern.
    try {
        callBack.CallByName("CallBack",
                            {automation::Arg::ByRef(lErr), automation::Arg::ByRef(sError)});
    } catch (...) {
    }
    try {
        m_oQueueEngine.Release();
    } catch (...) {
    }
    callBack.Release();
    bool another = s_requests != answered;
    if (!trapped && !another) Unload();  // after a trapped error the form stays loaded
}

}  // namespace kelvor::queueengine
