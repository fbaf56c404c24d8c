// KelvorQueuePE: the queue engine's server. The bus starts it when a client creates
// KelvorQueuePE.QueueEngine; it ends when no object and no loaded form is left.
#include "frm_queue_async.h"
#include "kelvor/queue_engine.h"
#include "kelvor/server_main.h"
#include "queue_engine_object.h"

int main(int argc, char** argv) {
    kelvor::queueengine::g_sAppTitle = "KelvorQueuePE";
    return kelvor::forms::ServeMain(
        argc, argv,
        {"KelvorQueuePE", "KelvorQueuePE.QueueEngine",
         [] { return new kelvor::queueengine::QueueEngineObject; },
         [] { kelvor::queueengine::frmQueueAsync::m_oCallBack.Release(); }});
}
