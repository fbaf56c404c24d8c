// The application server's class, served as KelvorSystemPE.Application, with the session state
// every object of the process shares.
#pragma once

#include <QDBusServiceWatcher>
#include <QString>
#include <string>

#include "kelvor/automation.h"
#include "kelvor/dao.h"

namespace kelvor::appserver {

// Once per server process, shared by every Application object (the call-back object too).
struct SessionState {
    std::string m_sDTPath;
    Workspace m_oWorkspace;
    Database m_oDatabase;
    Recordset m_oSessionRecordset;  // the logon recordset, or the queue-processing lock
    bool m_bprompt = false;
    bool m_bProcessing = false;
    // The call-back object of the running update, by its path: only its CallBack ends that
    // update. An earlier update's call-back (a second UpdateQueueAsync replaced that update
    // while its engine was running) must not end a later one or free its lock.
    QString m_sCallBackPath;
    std::string m_sQueueStatus;
    int32_t m_lQueueErr = 0;
    std::string m_sQueueError;
};
SessionState& Session();

// modGenRoutines: the workstations connected to a database, each once, joined by ";"; "-1"
// when the roster reports an error.
std::string GetActiveUsers(const std::string& path);

// A message box about an update the caller asked to be told about: title "Kelvor", the
// critical-stop icon, OK only; none without a display.
void ShowMessage(const std::string& text);

class Application : public automation::ServedObject {
    Q_OBJECT
  public:
    Application();

    short About();
    QString UpdateQueue(const QString& sDTPath, const QString& sARPath, const QString& sSOPath,
                        int lErr, const QString& sError, bool prompt, int& lErr_out,
                        QString& sError_out, bool& prompt_out);
    QString UpdateQueueAsync(const QString& sDTPath, const QString& sARPath, const QString& sSOPath,
                             int lErr, const QString& sError, bool prompt, int& lErr_out,
                             QString& sError_out, bool& prompt_out);
    QString UpdQAsyncStatus(int lErr, const QString& sError, int& lErr_out, QString& sError_out);
    // Returns lErr: the first value a procedure sends back is its first by-reference argument.
    int CallBack(int lErr, const QString& sError, QString& sError_out);
    QString Logon(const QString& sDTPath, const QString& sARPath, const QString& sSOPath, int lErr,
                  const QString& sError, int& lErr_out, QString& sError_out);
    QString LogOff(int lErr, const QString& sError, int& lErr_out, QString& sError_out);
    QString ActiveUsersList();
    void Terminate() override;

    // The methods on the engine's types; the bus methods above convert.
    std::string Logon(const std::string& sDTPath, int32_t& lErr, std::string& sError);
    std::string LogOff(int32_t& lErr, std::string& sError);
    std::string UpdateQueue(const std::string& dt, const std::string& ar, const std::string& so,
                            int32_t& lErr, std::string& sError, bool prompt);
    std::string UpdateQueueAsync(const std::string& dt, const std::string& ar,
                                 const std::string& so, int32_t& lErr, std::string& sError,
                                 bool prompt);
    std::string UpdQAsyncStatus(int32_t& lErr, std::string& sError);
    void CallBack(int32_t lErr, const std::string& sError);

  private:
    bool LockQueueProcessing();
    bool UnlockQueueProcessing();
    void releaseUpdateObjects();
    void watchEngine();

    automation::Object m_oQueueEngine;
    automation::Object m_oCallBackApp;
};

}  // namespace kelvor::appserver
