// The application server's session, apart from the bus: the logon, the queue-processing lock
// and the state of the background update. A server process has one; a test may make several,
// each standing for a server of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kelvor/dao.h"

namespace kelvor::appserver {

// What the session asks of the object a front end called: on the bus, that object's queue
// engine and call-back object; in a test, whatever the test puts in their place.
class UpdateObjects {
  public:
    virtual ~UpdateObjects() = default;
    // An update run to its end; false with the engine's error pair when it failed.
    virtual bool ProcessQueue(const std::string& dt, const std::string& ar, const std::string& so,
                              int32_t& lErr, std::string& sError) = 0;
    // Makes the engine and the call-back object of a background update and returns the
    // call-back object's name: its CallBack comes with that name.
    virtual std::string CreateUpdateObjects() = 0;
    // Asks that engine for a background run that calls that object back.
    virtual bool UpdQueueAsync(const std::string& dt, const std::string& ar, const std::string& so,
                               int32_t& lErr, std::string& sError) = 0;
    virtual void ReleaseUpdateObjects() = 0;
};

// The workstations connected to a database, each once, joined by ";"; "-1" when the roster
// reports an error.
std::string GetActiveUsers(const std::string& path);

class ServerSession {
  public:
    // A message box about an update whose caller asked to be told; none unless set.
    std::function<void(const std::string&)> ShowMessage;

    std::string Logon(const std::string& sDTPath, int32_t& lErr, std::string& sError);
    std::string LogOff(int32_t& lErr, std::string& sError);
    std::string ActiveUsersList() const;
    std::string UpdateQueue(UpdateObjects& objects, const std::string& dt, const std::string& ar,
                            const std::string& so, int32_t& lErr, std::string& sError, bool prompt);
    std::string UpdateQueueAsync(UpdateObjects& objects, const std::string& dt,
                                 const std::string& ar, const std::string& so, int32_t& lErr,
                                 std::string& sError, bool prompt);
    std::string UpdQAsyncStatus(UpdateObjects& objects, int32_t& lErr, std::string& sError);
    // The engine's report, through the call-back object named `callBack`.
    void CallBack(const std::string& callBack, int32_t lErr, const std::string& sError);
    // The engine of the running update ended without calling back.
    void EngineEnded();
    // One of the server's objects ended.
    void ObjectEnded();
    bool Processing() const { return m_bProcessing; }
    // Lets go of every handle; the server's end, before the engine layer goes.
    void Close();

  private:
    bool LockQueueProcessing();
    bool UnlockQueueProcessing();
    void releaseSession();
    void endUpdate(const ErrorPair& outcome, const std::string& status);

    std::string m_sDTPath;
    Workspace m_oWorkspace;
    Database m_oDatabase;
    Recordset m_oSessionRecordset;  // the logon recordset, or the queue-processing lock
    bool m_bprompt = false;
    bool m_bProcessing = false;
    // LogOff came while an update ran: the session ends with the update.
    bool m_bLoggedOff = false;
    // The call-back object of the running update: only its CallBack ends that update. An
    // earlier update's call-back (a second UpdateQueueAsync replaced that update while its
    // engine was running) must not end a later one or free its lock.
    std::string m_sCallBack;
    std::string m_sQueueStatus;
    int32_t m_lQueueErr = 0;
    std::string m_sQueueError;
};

}  // namespace kelvor::appserver
