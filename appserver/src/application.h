// The application server's class, served as KelvorSystemPE.Application: the bus side of the
// process's one session.
#pragma once

#include <QString>
#include <string>

#include "kelvor/automation.h"
#include "server_session.h"

namespace kelvor::appserver {

// Once per server process, shared by every Application object (the call-back object too).
ServerSession& Session();

// A message box about an update the caller asked to be told about: title "Kelvor", the
// critical-stop icon, OK only; none without a display.
void ShowMessage(const std::string& text);

class Application : public automation::ServedObject, private UpdateObjects {
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

  private:
    bool ProcessQueue(const std::string& dt, const std::string& ar, const std::string& so,
                      int32_t& lErr, std::string& sError) override;
    std::string CreateUpdateObjects() override;
    bool UpdQueueAsync(const std::string& dt, const std::string& ar, const std::string& so,
                       int32_t& lErr, std::string& sError) override;
    void ReleaseUpdateObjects() override;
    void watchEngine();

    automation::Object m_oQueueEngine;
    automation::Object m_oCallBackApp;
};

}  // namespace kelvor::appserver
