// The queue engine served on the bus as KelvorQueuePE.QueueEngine: each object has an engine
// of its own; the background run lives on the process's one frmQueueAsync.
#pragma once

#include <QDBusVariant>
#include <QString>

#include "kelvor/automation.h"
#include "kelvor/queue_engine.h"

namespace kelvor::queueengine {

class QueueEngineObject : public automation::ServedObject {
    Q_OBJECT
  public:
    QueueEngineObject();

    bool ProcessQueue(const QString& DT_UNCPath, const QString& AR_UNCPath,
                      const QString& SO_UNCPath, int lErr, const QString& sError, int& lErr_out,
                      QString& sError_out);
    QDBusVariant GetLogID(const QString& p_sCustID, QString& p_sCustID_out);
    bool UpdQueueAsync(const QString& DT_UNCPath, const QString& AR_UNCPath,
                       const QString& SO_UNCPath, automation::ObjectRef oCallBack, int lErr,
                       const QString& sError, int& lErr_out, QString& sError_out);
    short About();

  private:
    QueueEngine engine_;
};

}  // namespace kelvor::queueengine
