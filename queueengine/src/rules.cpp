// The twelve queue rules. Each selects customers with one statement or saved query, read once
// forward-only, and hands every row to AddToQueue; a failed insertion stops neither the rule nor
// the run.
#include <vector>

#include "engine_internal.h"

namespace kelvor::queueengine {

void QueueEngine::queueRows(Recordset& rs, const std::string& idField, bool logIdFromRow,
                            int16_t transType, const std::string& remark, bool replace,
                            int32_t& lErr, std::string& sError) {
    // Rows are taken a batch at a time, and what their insertions read is opened ahead: a
    // batch's call log lookups two batches ahead, its queue entries and headers one batch ahead.
    // On a database server they go out before the writes of the batch in hand, and are answered
    // while this side works on it: a batch costs about one wait, for the server's work. A lookup's
    // answer does not depend on when it is read, since the update writes no call log's LogID
    // or CustId. A batch's queue reads come before the writes of the batch ahead of it and of
    // its own rows ahead, so where those wrote (or may have written) its customer's entry or its
    // call log, they are opened again; unless the entry its customer's lookup finds is one this
    // rule wrote lately: it is still in hand, as written (see Written), and only its header's
    // row is read, ahead, as its existence is all a mirror needs.
    constexpr size_t kBatch = 64;
    struct Row {
        std::string custId;
        int32_t logId = 0;
        Recordset lookup;
        QueueReads reads;
    };
    using Batch = std::vector<Row>;
    auto take = [&](Batch& batch) {
        batch.clear();
        batch.reserve(kBatch);
        for (; !rs.EOF_() && batch.size() < kBatch; rs.MoveNext()) {
            Row& row = batch.emplace_back();
            row.custId = rs.Fields(idField).Value().toString();
            if (logIdFromRow) row.logId = logIdOf(rs.Fields("LogID").Value());
        }
        if (!logIdFromRow)
            for (Row& row : batch) row.lookup = openLogIdLookup(row.custId, dbOpenDynaset);
    };
    // A row whose customer or call log the batch ahead or a row ahead in its own batch names
    // is sure to read again: its reads are not opened ahead.
    auto openReads = [&](Batch& batch, const Batch& ahead) {
        if (!logIdFromRow)
            for (Row& row : batch) row.logId = logIdOf(firstLogId(row.lookup));
        Touched named;
        auto name = [&named](const Row& row) {
            if (row.custId.empty()) return;
            named.customer(Value(row.custId));
            named.log(row.logId);
        };
        for (const Row& row : ahead) name(row);
        for (Row& row : batch) {
            if (row.custId.empty()) continue;  // AddToQueue refuses it before reading
            const bool again = named.covers(row.custId, row.logId);
            name(row);
            if (again) {
                // Its entry may be in hand then; the header's row is there all the same.
                try {
                    if (row.logId != 0) row.reads.mirror = openMirror(row.logId);
                } catch (const Error&) {
                }
                continue;
            }
            try {
                row.reads = openQueueReads(row.custId, row.logId);
            } catch (const Error&) {
                // AddToQueue opens them again, and reports what fails
            }
        }
    };
    Batch now, next, after;
    take(now);
    openReads(now, {});
    take(next);
    Touched before;  // what the batch ahead wrote after this batch's reads went out
    Written written;
    bool append = true;
    while (!now.empty()) {
        openReads(next, now);
        take(after);
        Touched touched;
        for (Row& row : now) {
            if (before.covers(row.custId, row.logId) || touched.covers(row.custId, row.logId)) {
                // An entry of its customer written lately is edited where it was written; else
                // its entry is read again. The header's row read ahead serves either way.
                Recordset mirror = std::move(row.reads.mirror);
                row.reads = QueueReads();
                if (row.logId == 0 || !mirror.isNothing())
                    row.reads.byCust = written.take(row.custId);
                row.reads.mirror = std::move(mirror);
            }
            int16_t type = transType;
            std::string text = remark;
            bool rep = replace;
            addToQueue(row.reads, &touched, &written, row.custId, row.logId, type, text, lErr,
                       sError, rep, append);
            row.reads = QueueReads();
            ++m_handed;
            // Outside AddToQueue's trap: what the caller's progress throws ends the rule.
            if (++m_at.rows % 1000 == 0 && m_progress) m_progress(m_at);
        }
        before = std::move(touched);
        written.endBatch();
        now = std::move(next);
        next = std::move(after);
        after = Batch();
    }
    rs.Close();
}

bool QueueEngine::ageingRule(const char* conditionPiece, int16_t transType, const char* remark,
                             const char* label, int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, label, [&] {
        std::string sql =
            std::string(
                "SELECT DISTINCTROW tblCaClientHist.ClientId as CustID FROM tblCaClient INNER ") +
            "JOIN tblCaClientHist ON tblCaClient.ClientId = tblCaClientHist.ClientId " +
            conditionPiece + "(tblCaClient.CreditHold=False)); ";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", false, transType, remark, false, lErr, sError);
        return true;
    });
}

bool QueueEngine::Exceed120Days(int32_t& lErr, std::string& sError) {
    return ageingRule(
        "WHERE "
        "((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
        "AND (tblCaClientHist.BalAge4>0) AND ",
        5, "This Account is 120 days overdue.", "QueueEngine.Exceed120Days", lErr, sError);
}

bool QueueEngine::Exceed90Days(int32_t& lErr, std::string& sError) {
    return ageingRule(
        "WHERE "
        "((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
        "AND (tblCaClientHist.BalAge3>0) AND ",
        4, "This Account is 90 days overdue.", "QueueEngine.Exceed90Days", lErr, sError);
}

bool QueueEngine::Exceed60Days(int32_t& lErr, std::string& sError) {
    return ageingRule(
        "WHERE "
        "((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
        "AND (tblCaClientHist.BalAge2>0) AND ",
        3, "This Account is 60 days overdue.", "QueueEngine.Exceed60Days", lErr, sError);
}

bool QueueEngine::Exceed30Days(int32_t& lErr, std::string& sError) {
    return ageingRule(
        "WHERE "
        "((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
        "AND (tblCaClientHist.BalAge1>0) AND ",
        2, "This Account is 30 days overdue.", "QueueEngine.Exceed30Days", lErr, sError);
}

bool QueueEngine::OverLimit(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.OverLimit", [&] {
        std::string sql =
            std::string("SELECT DISTINCTROW tblCaClientHist.ClientId as CustID, ") +
            "[CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit] " +
            "+[UnpaidFinch] AS TotalDue, tblCaClient.CreditLimit FROM tblCaClient " +
            "INNER JOIN tblCaClientHist ON tblCaClient.ClientId = tblCaClientHist.ClientId " +
            "WHERE " + "((([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit] " +
            "+[UnpaidFinch])>[CreditLimit]) AND (tblCaClient.CreditLimit>0) AND "
            "(tblCaClient.CreditHold=False)); ";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", false, 1, "This Account is Over its Credit Limit.", false, lErr,
                  sError);
        return true;
    });
}

bool QueueEngine::NearLimit(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.NearLimit", [&] {
        std::string sql =
            std::string(
                "SELECT DISTINCTROW tblCaClientHist.ClientId as CustID,  "
                "tblCaClient.CreditLimit ") +
            "FROM tblCaClient INNER JOIN tblCaClientHist ON tblCaClient.ClientId = " +
            "tblCaClientHist.ClientId WHERE " +
            "((([CreditLimit]-([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4] " +
            "-[UnapplCredit]+[UnpaidFinch]))<= " + NumberToSqlText(m_options.Chk_NearLimit_Amt) +
            " ) AND "
            "(([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[UnpaidFinch])>0)"
            " "
            "AND (tblCaClient.CreditLimit>0) AND (tblCaClient.CreditHold=False)); ";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", false, 6, "This Account is approaching its Credit Limit.", false,
                  lErr, sError);
        return true;
    });
}

bool QueueEngine::MinFIA(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.MinFIA", [&] {
        QueryDef q = m_oDTDatabase.QueryDefs("qryDtMinFIA2");
        Recordset rs = q.OpenRecordset(dbOpenForwardOnly);
        queueRows(rs, "ClientID", false, 12, "The Available Funds falls below the minimum allowed.",
                  false, lErr, sError);
        return true;
    });
}

bool QueueEngine::FollowUp3(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.FollowUp3", [&] {
        std::string sql =
            std::string(
                "SELECT tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID FROM "
                "tblDtCallLogHeader WHERE ") +
            "tblDtCallLogHeader.ToCallBack=True AND tblDtCallLogHeader.CallBackDate=Date();";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", false, 9, "It is time to call back the customer.",
                  m_options.Chk_FollowUp3Priority, lErr, sError);
        return true;
    });
}

bool QueueEngine::FollowUp2(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.FollowUp2", [&] {
        QueryDef q = m_oDTDatabase.QueryDefs("qryDtFollowUp2b");
        q.Parameters("Chk_FollowUp2_x") = m_options.Chk_FollowUp2_x;
        Recordset rs = q.OpenRecordset(dbOpenForwardOnly);
        queueRows(rs, "CustId", true, 8,
                  "Follow-Up to last call made more than " +
                      std::to_string(m_options.Chk_FollowUp2_x) +
                      " days ago and payment was promised but has not been received.",
                  false, lErr, sError);
        return true;
    });
}

bool QueueEngine::FollowUp1(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.FollowUp1", [&] {
        std::string sql =
            std::string(
                "SELECT DISTINCTROW tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID FROM ") +
            "tblDtCallLogHeader INNER JOIN tblCaClientHist ON " +
            "tblDtCallLogHeader.CustId = tblCaClientHist.ClientId WHERE " +
            "((([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4] " +
            "-[UnapplCredit]+[UnpaidFinch])>0) AND " +
            "((IIf(IIf(IsNull([LastConversationDate]), " + "#01/1/2099#,[LastConversationDate]) " +
            "> " + "IIf(IsNull([LastPayDate]), " +
            "#01/1/68#, [LastPayDate]), True, False)) = True) AND " + "((DateDiff(" + "\"d" +
            "\", " + "IIf(IsNull([LastConversationDate]), " +
            "#01/1/68#, [LastConversationDate]), Date())) >= " +
            NumberToSqlText(m_options.Chk_FollowUp1_x) + ")); ";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", true, 7,
                  "Follow-Up to last call made more than " +
                      std::to_string(m_options.Chk_FollowUp1_x) +
                      " days ago but no payment has been received.",
                  false, lErr, sError);
        return true;
    });
}

bool QueueEngine::CreditHold(int32_t& lErr, std::string& sError) {
    return Trapped(lErr, sError, "QueueEngine.CreditHold", [&] {
        std::string sql =
            std::string(
                "SELECT DISTINCTROW tblCaClient.ClientId as CustID FROM tblCaClient WHERE ") +
            "((tblCaClient.CreditHold=True)); ";
        Recordset rs = m_oDTDatabase.OpenRecordset(sql, dbOpenForwardOnly);
        queueRows(rs, "CustId", false, 10, "This Account is on Credit Hold.", false, lErr, sError);
        return true;
    });
}

}  // namespace kelvor::queueengine
