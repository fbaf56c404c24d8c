// The queue processing driver: options, the run's transaction, the order of the steps, and the
// error text convention that every procedure of the engine uses.
#include "kelvor/queue_engine.h"
#include "engine_internal.h"

namespace kelvor::queueengine {

std::string g_sAppTitle = "KelvorQueuePE";
bool g_bInTrans = false;

void FormatError(int32_t& lErr, std::string& sError, int32_t number, const std::string&,
                 const std::string& description, const std::string& label) {
    try {
        // An object that could not be made: the text the caller held says what was asked of it.
        std::string kept = number == err::kCantCreateObject ? sError : std::string();
        FormatErrorPair(lErr, sError, number, description, g_sAppTitle + "." + label);
        if (number == err::kCantCreateObject) sError += " " + kept;
    } catch (...) {
        // Errors inside the error handler are ignored.
    }
}

bool QueueEngine::ProcessQueue(const std::string& DT_UNCPath, const std::string& AR_UNCPath,
                               const std::string& SO_UNCPath, int32_t& lErr, std::string& sError) {
    std::string dtPath = DT_UNCPath, arPath = AR_UNCPath, soPath = SO_UNCPath;
    int32_t localErr = 0;
    std::string localError;
    bool result = Trapped(lErr, sError, "QueueEngine.ProcessQueue", [&] {
        if (!InitOptions(dtPath, arPath, localErr, localError, soPath))
            throw Error(localErr, localError, "QueueEngine");
        DBEngine().BeginTrans();
        g_bInTrans = true;
        using Step = bool (QueueEngine::*)(int32_t&, std::string&);
        const struct {
            Step step;
            bool runs;
            const char* name;
        } steps[] = {
            {&QueueEngine::LastQueueProcTimeStamp, true, "LastQueueProcTimeStamp"},
            {&QueueEngine::EmptyQueue, m_options.Chk_ResetQueue, "EmptyQueue"},
            {&QueueEngine::TransferQueueToHist, true, "TransferQueueToHist"},
            {&QueueEngine::FollowUp3, m_options.Chk_FollowUp3, "FollowUp3"},
            {&QueueEngine::FollowUp2, m_options.Chk_FollowUp2, "FollowUp2"},
            {&QueueEngine::FollowUp1, m_options.Chk_FollowUp1, "FollowUp1"},
            {&QueueEngine::Exceed120Days, m_options.Chk_120Days, "Exceed120Days"},
            {&QueueEngine::Exceed90Days, m_options.Chk_90Days, "Exceed90Days"},
            {&QueueEngine::Exceed60Days, m_options.Chk_60Days, "Exceed60Days"},
            {&QueueEngine::Exceed30Days, m_options.Chk_30Days, "Exceed30Days"},
            {&QueueEngine::OverLimit, m_options.Chk_OverLimit, "OverLimit"},
            {&QueueEngine::NearLimit, m_options.Chk_NearLimit, "NearLimit"},
            {&QueueEngine::CreditHold, m_options.Chk_CreditHold, "CreditHold"},
            {&QueueEngine::MinFIA, m_options.Chk_MinFIA, "MinFIA"},
        };
        m_at = {0, 0, "", 0};
        m_handed = 0;
        for (const auto& s : steps) m_at.steps += s.runs;
        for (const auto& s : steps) {
            if (!s.runs) continue;
            m_at = {m_at.step + 1, m_at.steps, s.name, 0};
            if (m_progress) m_progress(m_at);
            localErr = 0;
            if (!(this->*s.step)(localErr, localError))
                throw Error(localErr, localError, "QueueEngine");
        }
        DBEngine().CommitTrans(0);
        g_bInTrans = false;
        return true;
    });
    if (!result && g_bInTrans) {
        try {
            DBEngine().Rollback();
        } catch (...) {
            // A failing rollback changes nothing about the report.
        }
        g_bInTrans = false;
    }
    return result;
}

bool QueueEngine::InitOptions(const std::string& DT_Path, const std::string& CA_Path, int32_t& lErr,
                              std::string& sError, const std::string& SO_Path) {
    return Trapped(lErr, sError, "QueueEngine.InitOptions", [&] {
        if (DT_Path.empty() || CA_Path.empty()) Raise(err::kMissingDatabasePath);
        m_sDTPath = DT_Path;
        m_sCAPath = CA_Path;
        m_sSOPath = SO_Path;
        m_oWorkspace = DBEngine().Workspaces(0);
        m_oDTDatabase = m_oWorkspace.OpenDatabase(m_sDTPath);
        m_oCADatabase = m_oWorkspace.OpenDatabase(m_sCAPath);
        m_oSODatabase = m_sSOPath.empty() ? Database() : m_oWorkspace.OpenDatabase(m_sSOPath);

        Recordset rs = m_oDTDatabase.OpenRecordset("tblDtOptionsSession", dbOpenForwardOnly);
        if (rs.EOF_()) Raise(err::kOptionsRecordMissing);
        auto flag = [&](const char* f) { return rs.Fields(f).Value().toBool(); };
        auto number = [&](const char* f) {
            Value v = rs.Fields(f).Value();
            return v.isNull() ? 0.0 : v.toDouble();
        };
        auto integer = [&](const char* f) {
            Value v = rs.Fields(f).Value();
            return v.isNull() ? int16_t{0} : v.toInteger();
        };
        auto text = [&](const char* f) { return rs.Fields(f).Value().text(); };
        QueueOptions o;
        o.Chk_OverLimit = flag("Chk_OverLimit");
        o.Chk_NearLimit = flag("Chk_NearLimit");
        o.Chk_NearLimit_Amt = number("Chk_NearLimit_Amt");
        o.Chk_30Days = flag("Chk_30Days");
        o.Chk_60Days = flag("Chk_60Days");
        o.Chk_90Days = flag("Chk_90Days");
        o.Chk_120Days = flag("Chk_120Days");
        o.Chk_FollowUp1 = flag("Chk_FollowUp1");
        o.Chk_FollowUp1_x = integer("Chk_FollowUp1_x");
        o.Chk_FollowUp1_y = integer("Chk_FollowUp1_y");
        o.Chk_FollowUp2 = flag("Chk_FollowUp2");
        o.Chk_FollowUp2_x = integer("Chk_FollowUp2_x");
        o.Chk_FollowUp3 = flag("Chk_FollowUp3");
        o.Chk_FollowUp3Priority = flag("Chk_FollowUp3Priority");
        o.Chk_FollowUp3_x = text("Chk_FollowUp3_x");
        o.Chk_FollowUp3_y = text("Chk_FollowUp3_y");
        o.Chk_CreditHold = flag("Chk_CreditHold");
        o.Chk_ResetQueue = flag("Chk_ResetQueue");
        o.Chk_FollowUp3BatchExcld = text("Chk_FollowUp3BatchExcld");
        o.Chk_MinFIA = flag("Chk_MinFIA");
        m_options = o;
        rs.Close();
        return true;
    });
}

bool QueueEngine::LastQueueProcTimeStamp(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.LastQueueProcTimeStamp", [&] {
        Recordset rs = m_oDTDatabase.OpenRecordset("tblDtOptionsSession", dbOpenDynaset);
        // The stamp's own wording of the missing options record.
        if (rs.EOF_())
            throw Error(err::kOptionsRecordMissing, "Missing Options record.", "QueueEngine");
        rs.Edit();
        rs.Fields("LastQueueProc") = Date::now();
        rs.Update(dbUpdateRegular);
        rs.Close();
        return true;
    });
}

// ---- housekeeping ---------------------------------------------------------------------------

namespace {
const std::string kCopyFollowedUpToHistory =
    std::string("INSERT INTO tblDtQueueHist ( CustID, LogID, TransType, Remark, ") +
    "LockedBy, EntryDate, EntryTime, [Delete], FollowedUp, " +
    "FollowedUpBy ) SELECT tblDTQueue.CustID, tblDTQueue.LogID, " +
    "tblDTQueue.TransType, tblDTQueue.Remark, tblDTQueue.LockedBy, " +
    "tblDTQueue.EntryDate, tblDTQueue.EntryTime, tblDTQueue.Delete, " +
    "tblDTQueue.FollowedUp, tblDTQueue.FollowedUpBy FROM " +
    "tblDTQueue WHERE (((tblDTQueue.FollowedUp)=True)); ";
}  // namespace

bool QueueEngine::EmptyQueue(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.EmptyQueue", [&] {
        QueryDef q = m_oDTDatabase.CreateQueryDef("");
        // Followed-up entries are a collector's finished work: they go to the history before
        // the queue is emptied, as they would on a run without the reset.
        q.SQL(kCopyFollowedUpToHistory);
        q.Execute(dbFailOnError);
        // The remarks are cleared while the queue entries that lead to them still exist.
        q.SQL(std::string("UPDATE DISTINCTROW tblDtCallLogHeader INNER JOIN ") +
              "tblDTQueue ON tblDtCallLogHeader.LogID = tblDTQueue.LogID SET " +
              "tblDtCallLogHeader.SystemRemark = Null; ");
        q.Execute(dbFailOnError);
        q.SQL("DELETE DISTINCTROW tblDTQueue.* FROM tblDTQueue;");
        q.Execute(dbFailOnError);
        return true;
    });
}

bool QueueEngine::TransferQueueToHist(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.TransferQueueToHist", [&] {
        QueryDef q = m_oDTDatabase.CreateQueryDef("");
        // A collector's finished work is history: it is copied before it leaves the queue.
        q.SQL(kCopyFollowedUpToHistory);
        q.Execute(dbFailOnError);
        q.SQL(std::string("DELETE tblDTQueue.* FROM tblDTQueue WHERE ") +
              "tblDTQueue.FollowedUp=True; ");
        q.Execute(dbFailOnError);
        return true;
    });
}

}  // namespace kelvor::queueengine
