// Queue insertion: one entry per customer, overwritten, merged or refused as the caller's
// flags say, with the remark mirrored into the call log header.
#include "engine_internal.h"

namespace kelvor::queueengine {

namespace {

// The customer id between double quotes as a Jet text literal: an embedded double quote is
// doubled, so no identifier can change the statement it is put in.
std::string quotedId(const std::string& id) {
    std::string out = "\"";
    for (char c : id) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

Value textOrNull(const std::string& s) {
    return s.empty() ? Value() : Value(s);
}

bool isAgeing(int v) {
    return v >= 2 && v <= 5;
}

// The time of day alone, as a date on day 0.
Date timeOfDay(Date now) {
    return Date::fromSeconds(now.seconds() - now.datePart().seconds());
}

// What an added or overwritten entry gets: the call log, the type, the remark (empty text as
// Null) and the moment.
void writeEntry(Recordset& rs, int32_t logId, int16_t transType, const std::string& remark) {
    Date now = Date::now();
    rs.Fields("LogID") = logId;
    rs.Fields("TransType") = transType;
    rs.Fields("Remark") = textOrNull(remark);
    rs.Fields("EntryDate") = now.datePart();
    rs.Fields("EntryTime") = timeOfDay(now);
}

}  // namespace

Recordset QueueEngine::openMirror(int32_t logId) {
    return m_oDTDatabase.OpenRecordset(
        "select SystemRemark from tblDtCallLogHeader where LogID=" + std::to_string(logId),
        dbOpenDynaset);
}

void QueueEngine::mirrorRemark(Recordset& rs, const std::string& text) {
    if (!rs.EOF_()) {
        rs.Edit();
        rs.Fields("SystemRemark") = textOrNull(text);
        rs.Update(dbUpdateRegular);
    }
    rs.Close();
}

bool QueueEngine::AddToQueue(std::string& CustID, int32_t& LogID, int16_t& TransType,
                             std::string& Remark, int32_t& lErr, std::string& sError,
                             bool& p_bReplace, bool& p_bAppend) {
    return Trapped(lErr, sError, "QueueEngine.AddToQueue", [&] {
        if (CustID.empty()) Raise(err::kClientIdMissing);

        // Every row this call may read is asked for before any is read: the queue's entry by
        // customer and by call log, and the call log header the remark is mirrored into. None
        // of them changes in between (the queue's writes touch no call log), and on a database
        // server the three queries then cost one round trip.
        Recordset rs = m_oDTDatabase.OpenRecordset(
            std::string("SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue ") +
                "WHERE ((tblDTQueue.CustID=" + quotedId(CustID) + ")); ",
            dbOpenDynaset);
        Recordset byLog, mirror;
        if (LogID != 0) {
            byLog = m_oDTDatabase.OpenRecordset(
                std::string("SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue ") +
                    "WHERE ((tblDTQueue.LogID= " + std::to_string(LogID) + ")); ",
                dbOpenDynaset);
            mirror = openMirror(LogID);
        }

        // Overwrite or merge into a row found by customer or by call log.
        auto onExisting = [&](Recordset& rs, int refusal) {
            Date now = Date::now();
            if (p_bReplace) {
                rs.Edit();
                writeEntry(rs, LogID, TransType, Remark);
                rs.Update(dbUpdateRegular);
                rs.Close();
                if (LogID != 0) mirrorRemark(mirror, Remark);
                return;
            }
            if (!p_bAppend) Raise(refusal);
            rs.Edit();
            rs.Fields("LogID") = LogID;
            Value stored = rs.Fields("Remark").Value();
            std::string merged;
            // An empty stored remark merges like a Null one.
            if (stored.isNull() || stored.text().empty()) {
                rs.Fields("TransType") = TransType;
                rs.Fields("Remark") = textOrNull(Remark);
                rs.Fields("EntryDate") = now.datePart();
                rs.Fields("EntryTime") = timeOfDay(now);
                merged = Remark;
            } else {
                merged = stored.text();
                if (merged.back() == '.') merged.pop_back();
                merged += "; \r\n" + Remark;
                Value storedType = rs.Fields("TransType").Value();
                bool keep =
                    !storedType.isNull() && isAgeing(storedType.toLong()) && isAgeing(TransType);
                if (!keep) {
                    rs.Fields("Remark") = merged;
                    rs.Fields("EntryDate") = now.datePart();
                    rs.Fields("EntryTime") = timeOfDay(now);
                }
            }
            rs.Update(dbUpdateRegular);
            rs.Close();
            if (LogID != 0) mirrorRemark(mirror, merged);
        };

        if (!rs.EOF_()) {
            onExisting(rs, err::kClientIdInQueue);
            return true;
        }
        if (LogID != 0) {
            if (!byLog.EOF_()) {
                onExisting(byLog, err::kLogIdInQueue);
                return true;
            }
        }
        Recordset add = m_oDTDatabase.OpenRecordset("tblDTQueue", dbOpenDynaset);
        add.AddNew();
        add.Fields("CustId") = CustID;
        writeEntry(add, LogID, TransType, Remark);
        add.Update(dbUpdateRegular);
        add.Close();
        if (LogID != 0) mirrorRemark(mirror, Remark);
        return true;
    });
}

Value QueueEngine::GetLogID(std::string& p_sCustID) {
    try {
        Recordset rs = m_oDTDatabase.OpenRecordset(
            std::string("SELECT DISTINCTROW tblDtCallLogHeader.LogID, ") +
                "tblDtCallLogHeader.CustId FROM tblDtCallLogHeader WHERE " +
                "((tblDtCallLogHeader.CustId=" + quotedId(p_sCustID) + ")); ",
            dbOpenForwardOnly);
        Value result;
        if (!rs.EOF_()) result = rs.Fields("LogID").Value();
        rs.Close();
        return result;
    } catch (const Error&) {
        return Value();  // also before ProcessQueue has opened the DT database
    }
}

}  // namespace kelvor::queueengine
