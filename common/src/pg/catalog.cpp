#include "pg/catalog.h"

#include <cstdlib>

#include "pg/dialect.h"
#include "pg/library.h"
#include "pg/roster.h"
#include "sqlite/dialect.h"

namespace kelvor::pg {

namespace {

const char* const kColumns = R"SQL(
SELECT c.table_name, c.column_name, c.data_type, coalesce(c.character_maximum_length, 0),
       c.is_nullable = 'NO', c.is_identity = 'YES',
       EXISTS (SELECT 1 FROM pg_constraint k JOIN pg_class r ON r.oid = k.conrelid
               JOIN pg_namespace n ON n.oid = r.relnamespace
               WHERE n.nspname = c.table_schema AND r.relname = c.table_name
                 AND k.conname = 'kv_byte_' || c.column_name)
FROM information_schema.columns c
JOIN information_schema.tables t USING (table_schema, table_name)
WHERE c.table_schema = $1 AND t.table_type = 'BASE TABLE'
ORDER BY c.table_name, c.ordinal_position)SQL";

std::string text(PGresult* r, int row, int col) {
    return PQgetisnull(r, row, col) ? std::string() : std::string(PQgetvalue(r, row, col));
}

bool truth(PGresult* r, int row, int col) {
    return text(r, row, col) == "t";
}

}  // namespace

void LoadCatalog(PGconn* conn, const std::string& schema, sqlite::Catalog& out) {
    out.clear();
    Result cols = Exec(conn, kColumns, {schema.c_str()});
    PGresult* r = cols.get();
    sqlite::TableInfo t;
    bool haveObjects = false;
    auto flush = [&] {
        if (t.name.empty()) return;
        if (t.rowid.empty()) t.rowid = "ctid";  // no user column may take the name
        if (sqlite::EqualNoCase(t.name, sqlite::dialect::kObjectsTable)) haveObjects = true;
        out.addTable(std::move(t));
        t = sqlite::TableInfo();
    };
    for (int i = 0; i < PQntuples(r); ++i) {
        std::string table = text(r, i, 0);
        if (table == kRosterTable) continue;  // the layer's own, never the user's
        if (table != t.name) {
            flush();
            t.name = table;
        }
        if (text(r, i, 1) == dialect::kRecordKey) {
            t.rowid = dialect::kRecordKey;
            continue;
        }
        t.columns.push_back(
            dialect::ColumnFromSchema(text(r, i, 1), text(r, i, 2), std::atoi(PQgetvalue(r, i, 3)),
                                      truth(r, i, 4), truth(r, i, 5), truth(r, i, 6)));
    }
    flush();
    if (!haveObjects) return;
    Result objs =
        Exec(conn, "SELECT \"Name\", \"Type\", \"Database\", \"ForeignName\", \"SQL\" FROM " +
                       dialect::QuoteIdent(schema) + ".\"MSysObjects\"");
    PGresult* o = objs.get();
    for (int i = 0; i < PQntuples(o); ++i)
        out.addObject(std::atoi(PQgetvalue(o, i, 1)), text(o, i, 0), text(o, i, 2), text(o, i, 3),
                      text(o, i, 4));
}

}  // namespace kelvor::pg
