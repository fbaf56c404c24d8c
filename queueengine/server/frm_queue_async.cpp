#include "frm_queue_async.h"

#include <cstdlib>

#include "kelvor/jet_error.h"

namespace kelvor::queueengine {

namespace {
frmQueueAsync* g_form = nullptr;
}

automation::Object frmQueueAsync::m_oCallBack;

int frmQueueAsync::Delay() {
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

void frmQueueAsync::Timer1_Timer() {
    Timer1.stop();
    int32_t lErr = 0;
    std::string sError;
    bool trapped = false;
    try {
        m_oQueueEngine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
        m_oQueueEngine.CallByName("ProcessQueue",
                                  {m_sDTPath, m_sARPath, m_sSOPath, automation::Arg::ByRef(lErr),
                                   automation::Arg::ByRef(sError)});
    } catch (const JetError& e) {
        // The engine could not be made or called: that is the outcome to report.
        lErr = e.number();
        sError = e.description();
        trapped = true;
    }
    // From here errors are ignored: a call-back that fails is nobody's concern.
    try {
        m_oCallBack.CallByName("CallBack",
                               {automation::Arg::ByRef(lErr), automation::Arg::ByRef(sError)});
    } catch (...) {
    }
    try {
        m_oQueueEngine.Release();
    } catch (...) {
    }
    if (!trapped) Unload();  // after a trapped error the form stays loaded
}

}  // namespace kelvor::queueengine
