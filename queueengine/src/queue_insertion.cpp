// Queue insertion: one entry per customer, overwritten, merged or refused as the caller's
// flags say, with the remark mirrored into the call log header.
#include <algorithm>
#include <cctype>
#include <optional>

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

QueueEngine::QueueReads QueueEngine::openQueueReads(const std::string& custId, int32_t logId,
                                                    Recordset mirror) {
    QueueReads r;
    r.mirror = std::move(mirror);
    r.byCust = m_oDTDatabase.OpenRecordset(
        std::string("SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue ") +
            "WHERE ((tblDTQueue.CustID=" + quotedId(custId) + ")); ",
        dbOpenDynaset);
    if (logId != 0) {
        r.byLog = m_oDTDatabase.OpenRecordset(
            std::string("SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue ") +
                "WHERE ((tblDTQueue.LogID= " + std::to_string(logId) + ")); ",
            dbOpenDynaset);
        if (r.mirror.isNothing()) r.mirror = openMirror(logId);
    }
    return r;
}

namespace {

// A customer id as the batch's bookkeeping compares it: letters and digits only, folded to
// lower case. Text comparison on the server ignores case and may equate other spellings too
// (full-width letters, ignorable characters): an id with anything else is not folded, and
// counts as equal to every id.
std::optional<std::string> folded(const std::string& id) {
    if (id.empty()) return std::nullopt;
    std::string out;
    out.reserve(id.size());
    for (char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

}  // namespace

void QueueEngine::Touched::customer(const Value& custId) {
    if (custId.isNull()) return;  // a Null id equals none
    if (auto key = folded(custId.toString()))
        custIds.push_back(std::move(*key));
    else
        anyCustomer = true;
}

void QueueEngine::Touched::log(int32_t logId) {
    if (logId != 0) logIds.push_back(logId);
}

bool QueueEngine::Touched::covers(const std::string& custId, int32_t logId) const {
    if (anyCustomer) return true;
    auto key = folded(custId);
    if (!key || std::find(custIds.begin(), custIds.end(), *key) != custIds.end()) return true;
    return logId != 0 && std::find(logIds.begin(), logIds.end(), logId) != logIds.end();
}

Recordset QueueEngine::Written::take(const std::string& custId) const {
    auto key = folded(custId);
    if (!key) return Recordset();
    auto f = first.find(*key);
    if (f == first.end()) return Recordset();
    auto o = open.find(f->second);
    return o == open.end() ? Recordset() : o->second.rs;
}

void QueueEngine::Written::wrote(Recordset& rs, const Value& queueId, const std::string* custId) {
    if (queueId.isNull()) {  // an entry it cannot tell from the others kept here
        first.clear();
        open.clear();
        rs.Close();
        return;
    }
    const int32_t id = queueId.toLong();
    auto o = open.find(id);
    auto key = custId ? folded(*custId) : std::nullopt;
    if (key) {
        if (o != open.end() && o->second.key != *key) {
            auto f = first.find(o->second.key);
            if (f != first.end() && f->second == id) first.erase(f);
        }
        first[*key] = id;
        open[id] = Open{rs, *key, batch};
    } else if (o != open.end()) {
        o->second.rs = rs;
        o->second.batch = batch;
    } else {
        rs.Close();
    }
}

void QueueEngine::Written::added(const std::string& custId) {
    if (auto key = folded(custId))
        first.erase(*key);
    else
        first.clear();
}

void QueueEngine::Written::endBatch() {
    ++batch;
    for (auto o = open.begin(); o != open.end();) {
        if (o->second.batch >= batch - 1) {
            ++o;
            continue;
        }
        auto f = first.find(o->second.key);
        if (f != first.end() && f->second == o->first) first.erase(f);
        o = open.erase(o);
    }
}

bool QueueEngine::AddToQueue(std::string& CustID, int32_t& LogID, int16_t& TransType,
                             std::string& Remark, int32_t& lErr, std::string& sError,
                             bool& p_bReplace, bool& p_bAppend) {
    QueueReads reads;
    return addToQueue(reads, nullptr, nullptr, CustID, LogID, TransType, Remark, lErr, sError,
                      p_bReplace, p_bAppend);
}

bool QueueEngine::addToQueue(QueueReads& reads, Touched* touched, Written* written,
                             std::string& CustID, int32_t& LogID, int16_t& TransType,
                             std::string& Remark, int32_t& lErr, std::string& sError,
                             bool& p_bReplace, bool& p_bAppend) {
    return Trapped(lErr, sError, "QueueEngine.AddToQueue", [&] {
        if (CustID.empty()) Raise(err::kClientIdMissing);

        // Every row this call may read is asked for before any is read. None of them changes in
        // between (the queue's writes touch no call log), and on a database server the three
        // queries then cost one round trip.
        if (reads.byCust.isNothing())
            reads = openQueueReads(CustID, LogID, std::move(reads.mirror));
        if (touched) {
            touched->customer(Value(CustID));
            touched->log(LogID);
        }
        Recordset& rs = reads.byCust;
        Recordset& byLog = reads.byLog;
        Recordset& mirror = reads.mirror;

        // Overwrite or merge into a row found by customer or by call log.
        auto onExisting = [&](Recordset& rs, int refusal) {
            if (touched) {
                touched->customer(rs.Fields("CustID").Value());
                touched->log(logIdOf(rs.Fields("LogID").Value()));
            }
            Value queueId;
            if (written) {
                try {
                    queueId = rs.Fields("QueueID").Value();
                } catch (const Error&) {
                    // a queue table without its counter: nothing is kept
                }
            }
            // Kept open on the entry for a later row of its customer, or closed.
            auto done = [&] {
                if (written)
                    written->wrote(rs, queueId, &rs == &reads.byCust ? &CustID : nullptr);
                else
                    rs.Close();
            };
            Date now = Date::now();
            if (p_bReplace) {
                rs.Edit();
                writeEntry(rs, LogID, TransType, Remark);
                rs.Update(dbUpdateRegular);
                done();
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
            done();
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
        if (written) written->added(CustID);
        if (LogID != 0) mirrorRemark(mirror, Remark);
        return true;
    });
}

Recordset QueueEngine::openLogIdLookup(const std::string& custId, int type) {
    try {
        return m_oDTDatabase.OpenRecordset(
            std::string("SELECT DISTINCTROW tblDtCallLogHeader.LogID, ") +
                "tblDtCallLogHeader.CustId FROM tblDtCallLogHeader WHERE " +
                "((tblDtCallLogHeader.CustId=" + quotedId(custId) + ")); ",
            type);
    } catch (const Error&) {
        return Recordset();  // also before ProcessQueue has opened the DT database
    }
}

Value QueueEngine::firstLogId(Recordset& lookup) {
    try {
        if (lookup.isNothing()) return Value();
        Value result;
        if (!lookup.EOF_()) result = lookup.Fields("LogID").Value();
        lookup.Close();
        return result;
    } catch (const Error&) {
        return Value();
    }
}

Value QueueEngine::GetLogID(std::string& p_sCustID) {
    Recordset rs = openLogIdLookup(p_sCustID, dbOpenForwardOnly);
    return firstLogId(rs);
}

}  // namespace kelvor::queueengine
