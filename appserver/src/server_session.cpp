#include "server_session.h"

#include "kelvor/roster.h"

namespace kelvor::appserver {

// Calls served while an update waits.
//
// A call that waits for the queue engine (UpdateQueue for the whole update, UpdateQueueAsync
// while the engine and the call-back object are made and asked for a run) and a message box
// waiting for its OK both run the event loop, and this server answers every call that comes
// meanwhile, from its own front end or from the engine. Each is safe:
// - CallBack ends an update only when it comes through that update's own call-back object.
//   UpdateQueueAsync forgets the previous one before it waits, so the run it replaces cannot
//   end it or free its lock; the running update's own call-back, should it come before the
//   request that started it has its answer, ends it as it would a moment later.
// - The end of an object (Terminate) never closes the lock of a running update.
// - Logon finds the slot taken (the session or the lock) and leaves it alone.
// - LogOff during a running update lets the session go only when the update ends: the lock
//   lives in the session's slot, and another server must not start an update over this one.
// - UpdateQueueAsync again: the slot's lock is handed on to the new request without a moment
//   free in between (see LockQueueProcessing), and the request gets a run of its own.
// - UpdQAsyncStatus answers "01" once the update is marked running, which happens before the
//   wait for the engine's answer; before that it reports the previous outcome and lets go of
//   objects that the waiting call replaces anyway.
// - ActiveUsersList only reads the roster.
// - UpdateQueue runs an update of its own, as it may at any time: it never takes the lock.

namespace {

const char* const kNotAvailable =
    "Kelvor is currently not available.\r\nPerhaps the Queue Update Process is currently in "
    "progress.\r\nPlease try again later !";
const char* const kEngineError = "Error in Queue Engine Object !\r\n";

// The result text of a failure the queue engine reported.
std::string engineFailure(const ErrorPair& pair) {
    return "-1" + std::string(kEngineError) + pair.bracketed();
}

// The message box about it, for a caller that asked to be told.
std::string engineMessage(const ErrorPair& pair) {
    return kEngineError + std::to_string(pair.lErr) + " - " + pair.sError;
}

template <typename F>
void ignoringErrors(F f) {
    try {
        f();
    } catch (...) {
    }
}

}  // namespace

std::string GetActiveUsers(const std::string& path) {
    try {
        std::vector<std::string> names(2);
        int16_t n = LDBUser_GetUsers(names, path, kRosterConnectedUsers);
        if (n < 0) return "-1";
        std::string list;
        std::vector<std::string> seen;
        for (const auto& name : names) {
            if (name.empty()) continue;
            bool dup = false;
            for (const auto& s : seen) dup = dup || s == name;
            if (dup) continue;
            seen.push_back(name);
            if (!list.empty()) list += ";";
            list += name;
        }
        return list;
    } catch (...) {
        return "-1";
    }
}

std::string ServerSession::ActiveUsersList() const {
    return GetActiveUsers(m_sDTPath);
}

void ServerSession::Close() {
    ignoringErrors([&] { m_oSessionRecordset = Recordset(); });
    ignoringErrors([&] { m_oDatabase = Database(); });
    ignoringErrors([&] { m_oWorkspace = Workspace(); });
}

void ServerSession::releaseSession() {
    ignoringErrors([&] { m_oSessionRecordset = Recordset(); });
    ignoringErrors([&] { m_oDatabase = Database(); });
}

// ---- logon and logoff ----------------------------------------------------------------------

std::string ServerSession::Logon(const std::string& sDTPath, int32_t& lErr, std::string& sError) {
    m_sDTPath = sDTPath;
    m_bLoggedOff = false;
    try {
        if (!m_oSessionRecordset.isNothing()) return "";
        m_oWorkspace = DBEngine().Workspaces(0);
        m_oDatabase = m_oWorkspace.OpenDatabase(m_sDTPath);
        // From here a failing step leaves its error pending and the next step runs.
        int pending = 0;
        std::string pendingText;
        try {
            m_oSessionRecordset =
                m_oDatabase.OpenRecordset("tblDTLogon", dbOpenDynaset, dbAppendOnly);
        } catch (const Error& e) {
            pending = e.number();
            pendingText = e.description();
        }
        try {
            m_oSessionRecordset.AddNew();  // 91 when there is no recordset to add to
        } catch (const Error& e) {
            pending = e.number();
            pendingText = e.description();
        }
        if (pending == err::kReadOnly) {
            std::string result =
                ErrorPair{err::kReadOnly, kNotAvailable}.writeTo(lErr, sError).refusal();
            releaseSession();
            return result;
        }
        if (pending != 0) throw Error(pending, pendingText, "Logon");
        ignoringErrors([&] { m_oSessionRecordset.CancelUpdate(dbUpdateRegular); });
        return "";
    } catch (const Error& e) {
        std::string result =
            ErrorPair::fromException(e).writeTo(lErr, sError).procedureFailure("Logon");
        releaseSession();
        return result;
    }
}

std::string ServerSession::LogOff(int32_t& lErr, std::string& sError) {
    try {
        // The running update's lock is in the slot: it goes when the update ends.
        if (!m_bProcessing) {
            if (!m_oSessionRecordset.isNothing()) m_oSessionRecordset = Recordset();
            if (!m_oDatabase.isNothing()) m_oDatabase = Database();
        } else {
            m_bLoggedOff = true;
        }
        lErr = 0;
        sError = "";
        return "";
    } catch (const Error& e) {
        std::string result =
            ErrorPair::fromException(e).writeTo(lErr, sError).procedureFailure("LogOff");
        releaseSession();
        return result;
    }
}

// ---- the queue-processing lock ------------------------------------------------------------

bool ServerSession::LockQueueProcessing() {
    try {
        // The slot is emptied first, as ever (a refused attempt ends the session), but what it
        // held is let go only once the new lock is taken: when that is this server's lock of a
        // running update, the table is never free in between for another server.
        Recordset previous = m_oSessionRecordset;
        m_oSessionRecordset = Recordset();
        if (m_oWorkspace.isNothing()) m_oWorkspace = DBEngine().Workspaces(0);
        if (m_oDatabase.isNothing()) m_oDatabase = m_oWorkspace.OpenDatabase(m_sDTPath);
        m_oSessionRecordset =
            m_oDatabase.OpenRecordset("tblDtQueueProcLock", dbOpenDynaset, dbDenyWrite);
        return true;
    } catch (...) {
        return false;
    }
}

bool ServerSession::UnlockQueueProcessing() {
    try {
        if (!m_oSessionRecordset.isNothing()) m_oSessionRecordset.Close();
        if (m_bLoggedOff) {
            m_bLoggedOff = false;
            releaseSession();
        }
        DBEngine().Idle(dbRefreshCache);
        return true;
    } catch (...) {
        return false;
    }
}

void ServerSession::endUpdate(const ErrorPair& outcome, const std::string& status) {
    m_bProcessing = false;
    m_sCallBack.clear();
    m_lQueueErr = outcome.lErr;
    m_sQueueError = outcome.sError;
    m_sQueueStatus = status;
}

// ---- updates --------------------------------------------------------------------------------

std::string ServerSession::UpdateQueue(UpdateObjects& objects, const std::string& dt,
                                       const std::string& ar, const std::string& so, int32_t& lErr,
                                       std::string& sError, bool prompt) {
    try {
        ErrorPair engine;
        if (!objects.ProcessQueue(dt, ar, so, engine.lErr, engine.sError)) {
            if (prompt && ShowMessage) ShowMessage(engineMessage(engine));
            return engineFailure(engine.writeTo(lErr, sError));
        }
        return "";
    } catch (const Error& e) {
        // The one method that writes no label.
        return ErrorPair::fromException(e).writeTo(lErr, sError).failure();
    }
}

std::string ServerSession::UpdateQueueAsync(UpdateObjects& objects, const std::string& dt,
                                            const std::string& ar, const std::string& so,
                                            int32_t& lErr, std::string& sError, bool prompt) {
    bool started = false;
    try {
        m_bprompt = prompt;
        // From here no earlier update's call-back ends an update: this call waits for the
        // engine below, and serves calls while it waits, among them, perhaps, that call-back.
        m_sCallBack.clear();
        // An earlier update's objects go before the lock is taken: the end of its call-back
        // object closes what the slot holds, as the end of any object does, and must not close
        // the lock of this update.
        objects.ReleaseUpdateObjects();
        if (!LockQueueProcessing()) {
            ErrorPair busy{err::kQueueProcessingBusy, Error::messageFor(err::kQueueProcessingBusy)};
            if (m_bprompt && ShowMessage) ShowMessage(busy.sError);
            busy.writeTo(lErr, sError);
            endUpdate(busy, busy.refusal());
            return m_sQueueStatus;
        }
        // Marked running before anything waits: making the objects serves calls too, among
        // them, perhaps, the end of the previous update's call-back object, which must find the
        // lock just taken belonging to a running update and leave it alone. Objects that cannot
        // be made start no update (and the lock stays with the session, as ever).
        m_bProcessing = true;
        std::string callBack;
        try {
            callBack = objects.CreateUpdateObjects();
        } catch (...) {
            m_bProcessing = false;
            throw;
        }
        m_sCallBack = callBack;
        started = true;
        m_lQueueErr = 0;
        m_sQueueError = "";
        m_sQueueStatus = "";
        ErrorPair engine;
        if (!objects.UpdQueueAsync(dt, ar, so, engine.lErr, engine.sError)) {
            if (m_bprompt && ShowMessage) ShowMessage(engineMessage(engine));
            endUpdate(engine.writeTo(lErr, sError), engineFailure(engine));
            objects.ReleaseUpdateObjects();
            return m_sQueueStatus;  // the lock stays held
        }
        return "";
    } catch (const Error& e) {
        ErrorPair trapped = ErrorPair::fromException(e);
        std::string result = trapped.writeTo(lErr, sError).procedureFailure("UpdateQueueAsync");
        objects.ReleaseUpdateObjects();
        if (started) {
            // The update was marked running: end it as failed, so a poller does not wait for
            // ever, and free the lock.
            endUpdate(trapped, result);
            UnlockQueueProcessing();
        }
        return result;
    }
}

void ServerSession::CallBack(const std::string& callBack, int32_t lErr, const std::string& sError) {
    if (callBack != m_sCallBack) return;  // an earlier update's
    m_sCallBack.clear();
    ignoringErrors([&] {
        const ErrorPair reported{lErr, sError};
        m_lQueueErr = lErr;
        m_sQueueError = sError;
        if (lErr != 0) {
            m_sQueueStatus = engineFailure(reported);
            if (m_bprompt && ShowMessage) ShowMessage(engineMessage(reported));
        } else {
            m_sQueueStatus = "";
        }
    });
    m_bProcessing = false;
    UnlockQueueProcessing();
}

void ServerSession::EngineEnded() {
    // Until the update's objects are made, the engine that ended is an earlier update's: its
    // process may end while this update waits for a new one.
    if (!m_bProcessing || m_sCallBack.empty()) return;
    const ErrorPair gone{err::kCantCreateObject,
                         "The queue engine ended before it reported the outcome of the update."};
    endUpdate(gone, engineFailure(gone));
    ignoringErrors([&] { UnlockQueueProcessing(); });
}

void ServerSession::ObjectEnded() {
    // While a background update runs, the slot holds its lock: the end of another object (the
    // previous update's call-back object, say) must not drop it and let a second update run at
    // the same time. The update's own end frees it.
    if (m_bProcessing) return;
    ignoringErrors([&] {
        if (!m_oSessionRecordset.isNothing()) m_oSessionRecordset.Close();
    });
}

std::string ServerSession::UpdQAsyncStatus(UpdateObjects& objects, int32_t& lErr,
                                           std::string& sError) {
    try {
        if (m_bProcessing) return "01";
        lErr = m_lQueueErr;
        sError = m_sQueueError;
        std::string result = m_sQueueStatus;
        objects.ReleaseUpdateObjects();
        return result;
    } catch (const Error& e) {
        std::string result =
            ErrorPair::fromException(e).writeTo(lErr, sError).procedureFailure("UpdQAsyncStatus");
        objects.ReleaseUpdateObjects();
        return result;
    }
}

}  // namespace kelvor::appserver
