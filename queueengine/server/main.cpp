// KelvorQueuePE: the queue engine's server. The bus starts it when a client creates
// KelvorQueuePE.QueueEngine; it ends when no object and no loaded form is left.
#include "frm_queue_async.h"
#include "kelvor/manual.h"
#include "kelvor/queue_engine.h"
#include "kelvor/server_main.h"
#include "queue_engine_object.h"

namespace {

// --help, and the manual page the build makes from it.
const kelvor::manual::Page kManual = {
    "KelvorQueuePE",
    "the Kelvor queue engine server",
    {"KelvorQueuePE", "KelvorQueuePE --help | --version"},
    {{"DESCRIPTION",
      {"KelvorQueuePE serves the class KelvorQueuePE.QueueEngine on the D-Bus session bus. It "
       "is not started by hand: the bus starts it when a client creates a QueueEngine object "
       "(its service file is in /usr/share/dbus-1/services), and it ends when no object and no "
       "background run is left.",
       "ProcessQueue rebuilds a company's work queue (tblDTQueue of its DT database) from the "
       "customer accounts by twelve rules, in one transaction: all of a run is committed, or "
       "none of it, and a failure comes back as the error pair lErr and sError. UpdQueueAsync "
       "runs it in the background two seconds later and reports to a call-back object; "
       "GetLogID and About complete the interface "
       "(/usr/share/dbus-1/interfaces/KelvorQueuePE.QueueEngine.xml).",
       "Without a display the server shows no windows, and About returns 0."},
      {}},
     {"ENVIRONMENT",
      {},
      {{"KELVOR_STATE_DIR",
        "Where workspaces keep their scratch databases (default /var/tmp/kelvor-UID)."},
       {"KELVOR_BUSY_TIMEOUT_MS",
        "How long a write waits for another program's lock on a file (default 5000)."}}},
     {"SEE ALSO", {"kelvor(1), KelvorSystemPE(1)"}, {}}},
};

}  // namespace

int main(int argc, char** argv) {
    if (int rc = kelvor::manual::StandardOption(argc, argv, kManual); rc >= 0) return rc;
    kelvor::queueengine::g_sAppTitle = "KelvorQueuePE";
    return kelvor::forms::ServeMain(
        argc, argv,
        {"KelvorQueuePE", "KelvorQueuePE.QueueEngine",
         [] { return new kelvor::queueengine::QueueEngineObject; },
         [] { kelvor::queueengine::frmQueueAsync::m_oCallBack.Release(); }});
}
