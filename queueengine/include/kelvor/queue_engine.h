// The queue engine: rebuilds a company's collection work queue (tblDTQueue) from its customer
// accounts by twelve rules, in one database transaction.
//
// Errors never leave a public method: a failing call returns false with its error number in
// lErr and its text in sError, "[KelvorQueuePE.QueueEngine.<procedure>][VB]; <description>",
// nested outermost procedure first when a procedure reports a callee's failure. A successful
// call leaves lErr and sError as the caller passed them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kelvor/dao.h"

namespace kelvor::queueengine {

// The engine program's title, the first part of every error text.
extern std::string g_sAppTitle;
// True from the moment ProcessQueue has begun its transaction until it commits or rolls back.
extern bool g_bInTrans;

// Turns a trapped error into the error pair (see the header comment). A non-zero `number`
// replaces the pair; number 0 with a non-zero lErr puts this procedure's label in front of the
// callee's text. For 429 (an object that could not be created) the text sError held is kept
// behind the new one.
void FormatError(int32_t& lErr, std::string& sError, int32_t number, const std::string& source,
                 const std::string& description, const std::string& label);

// The options record, read from the first row of tblDtOptionsSession.
struct QueueOptions {
    bool Chk_OverLimit = false;
    bool Chk_NearLimit = false;
    double Chk_NearLimit_Amt = 0;
    bool Chk_30Days = false;
    bool Chk_60Days = false;
    bool Chk_90Days = false;
    bool Chk_120Days = false;
    bool Chk_FollowUp1 = false;
    int16_t Chk_FollowUp1_x = 0;
    int16_t Chk_FollowUp1_y = 0;
    bool Chk_FollowUp2 = false;
    int16_t Chk_FollowUp2_x = 0;
    bool Chk_FollowUp3 = false;
    bool Chk_FollowUp3Priority = false;
    std::string Chk_FollowUp3_x;
    std::string Chk_FollowUp3_y;
    bool Chk_CreditHold = false;
    bool Chk_ResetQueue = false;
    std::string Chk_FollowUp3BatchExcld;
    bool Chk_MinFIA = false;
};

// Where a run is: the step under way (1-based, of the steps the options switch on), its
// procedure's name, and the rows of the rule's selection handled so far.
struct RunProgress {
    int step;
    int steps;
    const char* name;
    long rows;
};

class QueueEngine {
  public:
    // Called as each step begins and after every 1000 rows a rule hands on, for a caller that
    // shows the run or wants to stop it: what it throws fails the run, which is rolled back.
    void SetProgress(std::function<void(const RunProgress&)> progress) {
        m_progress = std::move(progress);
    }
    // The rows the rules of the last ProcessQueue handed to AddToQueue, all rules together.
    long RowsHandedOver() const { return m_handed; }

    // Opens the DT, CA and (when given) SO databases, reads the options and runs the stamp,
    // the housekeeping steps and the rules inside one transaction: all of it is committed,
    // or on the first failure all of it is rolled back.
    bool ProcessQueue(const std::string& DT_UNCPath, const std::string& AR_UNCPath,
                      const std::string& SO_UNCPath, int32_t& lErr, std::string& sError);
    // The LogID of the customer's call log header, or Null (also when anything fails).
    Value GetLogID(std::string& p_sCustID);

    const QueueOptions& options() const { return m_options; }

  private:
    friend class QueueEngineTestAccess;

    bool InitOptions(const std::string& DT_Path, const std::string& CA_Path, int32_t& lErr,
                     std::string& sError, const std::string& SO_Path = "");
    bool LastQueueProcTimeStamp(int32_t& lErr, std::string& sError);
    bool AddToQueue(std::string& CustID, int32_t& LogID, int16_t& TransType, std::string& Remark,
                    int32_t& lErr, std::string& sError, bool& p_bReplace, bool& p_bAppend);
    bool EmptyQueue(int32_t& lErr, std::string& sError);
    bool TransferQueueToHist(int32_t& lErr, std::string& sError);
    bool FollowUp3(int32_t& lErr, std::string& sError);
    bool FollowUp2(int32_t& lErr, std::string& sError);
    bool FollowUp1(int32_t& lErr, std::string& sError);
    bool CreditHold(int32_t& lErr, std::string& sError);
    bool Exceed120Days(int32_t& lErr, std::string& sError);
    bool Exceed90Days(int32_t& lErr, std::string& sError);
    bool Exceed60Days(int32_t& lErr, std::string& sError);
    bool Exceed30Days(int32_t& lErr, std::string& sError);
    bool OverLimit(int32_t& lErr, std::string& sError);
    bool NearLimit(int32_t& lErr, std::string& sError);
    bool MinFIA(int32_t& lErr, std::string& sError);

    // The selection-rule skeleton: hands every row of `rs` to AddToQueue. The call-log id is
    // the row's LogID when `logIdFromRow`, else GetLogID of the customer.
    void queueRows(Recordset& rs, const std::string& idField, bool logIdFromRow, int16_t transType,
                   const std::string& remark, bool replace, int32_t& lErr, std::string& sError);
    bool ageingRule(const char* conditionPiece, int16_t transType, const char* remark,
                    const char* label, int32_t& lErr, std::string& sError);
    // The customer's call log headers, opened as `type` (GetLogID's query), and the LogID of
    // the first, or Null; a failure to open or read gives Null too.
    Recordset openLogIdLookup(const std::string& custId, int type);
    static Value firstLogId(Recordset& lookup);
    // The call log header's row for the mirror of a remark, and the mirror itself (closes it).
    Recordset openMirror(int32_t logId);
    void mirrorRemark(Recordset& rs, const std::string& text);

    // Every row one AddToQueue may read: the queue's entry by customer and by call log, and the
    // call log header its remark is mirrored into. Opened together, so that on a database server
    // they are sent together; Nothing where they are still to be opened.
    struct QueueReads {
        Recordset byCust, byLog, mirror;
    };
    // `mirror`: the header's row when it is open already.
    QueueReads openQueueReads(const std::string& custId, int32_t logId,
                              Recordset mirror = Recordset());
    // The customers and call logs whose queue entries and headers a batch of insertions has
    // written so far (or may have): reads sent before those writes are stale for them.
    struct Touched {
        std::vector<std::string> custIds;  // folded, see covers()
        std::vector<int32_t> logIds;
        bool anyCustomer = false;  // an id was written that folding cannot stand for
        void customer(const Value& custId);
        void log(int32_t logId);
        bool covers(const std::string& custId, int32_t logId) const;
    };
    // Queue entries a rule has written lately, each kept with the dynaset that wrote it last,
    // still on it: a later row of the same customer edits the entry there instead of reading
    // it again. `first` holds, by folded customer id, the entry that customer's lookup finds
    // first (one written through that lookup); the set of entries a lookup finds changes only
    // by an insertion, which ends what is known of the ids it may match.
    struct Written {
        struct Open {
            Recordset rs;
            std::string key;  // the folded id whose first entry it is
            long batch = 0;
        };
        std::map<std::string, int32_t> first;
        std::map<int32_t, Open> open;  // by QueueID
        long batch = 0;
        // The dynaset on the entry `custId`'s lookup finds first, or Nothing.
        Recordset take(const std::string& custId) const;
        // `rs` has just written entry `queueId` (Null where it has none); `custId` when it is
        // the lookup by that customer.
        void wrote(Recordset& rs, const Value& queueId, const std::string* custId);
        void added(const std::string& custId);
        // Keeps what this batch and the one ahead of it wrote.
        void endBatch();
    };
    // AddToQueue on reads opened beforehand (reopened when Nothing); what it writes, or may,
    // goes into `touched` when given, and the entries it writes into `written`.
    bool addToQueue(QueueReads& reads, Touched* touched, Written* written, std::string& CustID,
                    int32_t& LogID, int16_t& TransType, std::string& Remark, int32_t& lErr,
                    std::string& sError, bool& p_bReplace, bool& p_bAppend);

    std::string m_sDTPath, m_sCAPath, m_sSOPath;
    Workspace m_oWorkspace;
    Database m_oDTDatabase, m_oCADatabase, m_oSODatabase;
    QueueOptions m_options;
    std::function<void(const RunProgress&)> m_progress;
    RunProgress m_at{0, 0, "", 0};
    long m_handed = 0;
};

}  // namespace kelvor::queueengine
