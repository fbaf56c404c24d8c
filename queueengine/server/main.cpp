// KelvorQueuePE: the queue engine's server. The bus starts it when a client creates
// KelvorQueuePE.QueueEngine; it ends when no object and no loaded form is left.
#include <QApplication>
#include <cstdio>

#include "frm_queue_async.h"
#include "kelvor/about_box.h"
#include "kelvor/automation.h"
#include "kelvor/queue_engine.h"
#include "queue_engine_object.h"

int main(int argc, char** argv) {
    kelvor::forms::PrepareDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName("KelvorQueuePE");
    QApplication::setApplicationVersion(KELVOR_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    kelvor::queueengine::g_sAppTitle = "KelvorQueuePE";
    kelvor::automation::Server server("KelvorQueuePE.QueueEngine",
                                      [] { return new kelvor::queueengine::QueueEngineObject; });
    try {
        server.start();
    } catch (const kelvor::JetError& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 1;
    }
    int rc = QApplication::exec();
    kelvor::queueengine::frmQueueAsync::m_oCallBack.Release();
    return rc;
}
