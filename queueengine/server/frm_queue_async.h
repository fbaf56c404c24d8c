// The engine's hidden form for background runs: it holds the paths and the call-back object of
// the latest UpdQueueAsync and a one-shot timer. While it is loaded, the process stays alive.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "kelvor/automation.h"

namespace kelvor::queueengine {

class frmQueueAsync : public QWidget {
    Q_OBJECT
  public:
    // The loaded form, loading it first when needed.
    static frmQueueAsync* Load();
    static frmQueueAsync* Loaded();  // null when not loaded
    void Unload();

    QString m_sDTPath, m_sARPath, m_sSOPath;
    automation::Object m_oQueueEngine;
    QTimer Timer1;
    // The call-back object outlives an unload: the next UpdQueueAsync replaces it.
    static automation::Object m_oCallBack;

    // How long the timer waits after UpdQueueAsync: 2000 milliseconds. Tests may shorten it
    // with KELVOR_TEST_ENGINE_DELAY_MS in the server's environment.
    static int Delay();
    // UpdQueueAsync calls served so far: a run answers those made before it began.
    static uint64_t s_requests;

  private:
    frmQueueAsync();
    ~frmQueueAsync() override;
    void Timer1_Timer();
};

}  // namespace kelvor::queueengine
