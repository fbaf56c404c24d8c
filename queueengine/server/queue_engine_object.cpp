#include "queue_engine_object.h"

#include "frm_queue_async.h"
#include "kelvor/display.h"
#include "queueengine_adaptor.h"

namespace kelvor::queueengine {

QueueEngineObject::QueueEngineObject() {
    new QueueEngineAdaptor(this);
}

bool QueueEngineObject::ProcessQueue(const QString& DT_UNCPath, const QString& AR_UNCPath,
                                     const QString& SO_UNCPath, int lErr, const QString& sError,
                                     int& lErr_out, QString& sError_out) {
    int32_t err = lErr;
    std::string text = sError.toStdString();
    bool ok = engine_.ProcessQueue(DT_UNCPath.toStdString(), AR_UNCPath.toStdString(),
                                   SO_UNCPath.toStdString(), err, text);
    lErr_out = err;
    sError_out = QString::fromStdString(text);
    return ok;
}

QDBusVariant QueueEngineObject::GetLogID(const QString& p_sCustID, QString& p_sCustID_out) {
    std::string id = p_sCustID.toStdString();
    Value v = engine_.GetLogID(id);
    p_sCustID_out = QString::fromStdString(id);
    return automation::ToVariant(v);
}

bool QueueEngineObject::UpdQueueAsync(const QString& DT_UNCPath, const QString& AR_UNCPath,
                                      const QString& SO_UNCPath, automation::ObjectRef oCallBack,
                                      int lErr, const QString& sError, int& lErr_out,
                                      QString& sError_out) {
    lErr_out = lErr;
    sError_out = sError;
    try {
        frmQueueAsync* form = frmQueueAsync::Load();
        form->m_sDTPath = DT_UNCPath;
        form->m_sARPath = AR_UNCPath;
        form->m_sSOPath = SO_UNCPath;
        frmQueueAsync::m_oCallBack = automation::Object::FromRef(oCallBack);
        ++frmQueueAsync::s_requests;
        form->Timer1.start(frmQueueAsync::Delay());
        return true;
    } catch (const Error& e) {
        int32_t err = lErr;
        std::string text = sError.toStdString();
        FormatError(err, text, e.number(), e.source(), e.description(),
                    "QueueEngine.UpdQueueAsync");
        lErr_out = err;
        sError_out = QString::fromStdString(text);
        return false;
    }
}

short QueueEngineObject::About() {
    return forms::ShowAbout("About Kelvor 4.0 Professional Edition Scan Engine",
                            "Kelvor 4.0 Professional Edition Scan Engine",
                            &automation::Server::HoldWhileLoaded);
}

}  // namespace kelvor::queueengine
