#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "dao/dao_impl.h"
#include "pg/path.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::detail {

using jetsql::Statement;
using sqlite::Attachment;

namespace {

constexpr int kMaxLinkDepth = 8;

bool startsWithWord(const std::string& shape, std::string_view word) {
    return shape.size() >= word.size() && shape.compare(0, word.size(), word) == 0 &&
           (shape.size() == word.size() || shape[word.size()] == ' ');
}

// A link's source path as stored; a relative one is taken from the linking database's folder.
std::string absoluteSource(const std::string& holderPath, const std::string& source) {
    if (source.empty() || source[0] == '/' || pg::NamesServer(source) ||
        pg::NamesServer(holderPath))
        return source;
    auto slash = holderPath.rfind('/');
    return slash == std::string::npos ? source : holderPath.substr(0, slash + 1) + source;
}

// A table, link or saved query name alone ("tblDTQueue", "[My Table]"), not a statement.
// Checked without the lexer: a statement always holds a blank or a parenthesis.
bool isBareName(std::string_view s) {
    while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == ';'))
        s.remove_suffix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return s.find(']') == s.size() - 1;
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' &&
            static_cast<unsigned char>(c) < 0x80)
            return false;
    return true;
}

}  // namespace

DatabaseImpl::DatabaseImpl(std::shared_ptr<WorkspaceImpl> ws, std::string path)
    : ws_(std::move(ws)), path_(std::move(path)), conn_(ws_->connectionFor(path_)) {
    att_ = attachWithLock(path_);
    // Attach the sources of links now: a database cannot be attached inside a transaction, and
    // the rules read linked tables inside one. A missing source is reported when it is used.
    for (const auto& [name, link] : att_->catalog.links()) {
        try {
            sourceAttachment(*att_, link.sourcePath);
        } catch (const JetError&) {
        }
    }
}

// Registers this connection in the database's roster before the database is opened, so that
// compaction, which holds the database exclusively, and this open exclude each other.
Attachment* DatabaseImpl::attachWithLock(const std::string& path) {
    auto lock = conn().enter(path, ws_->user());
    Attachment* a = conn().attach(path);
    if (!locks_.count(a->schema)) {
        locks_.emplace(a->schema, std::move(lock));
    }
    return a;
}

engine::Presence* DatabaseImpl::lockFileFor(const std::string& schema) {
    auto it = locks_.find(schema);
    return it == locks_.end() ? nullptr : it->second.get();
}

void DatabaseImpl::checkWritable(const std::string& schema, const std::string& table) {
    engine::Presence* lf = lockFileFor(schema);
    if (!lf) return;
    std::vector<std::string> tables{table};
    std::string guard;
    if (schema == att_->schema) {
        guard = att_->catalog.guardOf(table);
    } else {
        for (auto* l : linkRefs_)
            if (l->schema == schema) guard = l->catalog.guardOf(table);
    }
    if (!guard.empty()) tables.push_back(guard);
    lf->checkWritable(tables);
}

void DatabaseImpl::lockTable(const std::string& schema, const std::string& table) {
    engine::Presence* lf = lockFileFor(schema);
    if (!lf) throw JetError::make(err::kLockedTableInUse, table);
    lf->lockTable(table);
}

void DatabaseImpl::unlockTable(const std::string& schema, const std::string& table) {
    if (closed_) return;
    if (engine::Presence* lf = lockFileFor(schema)) lf->unlockTable(table);
}

DatabaseImpl::~DatabaseImpl() {
    releaseAll();
}

void DatabaseImpl::releaseAll() {
    if (!att_) return;
    auto& c = *conn_;
    for (auto* a : linkRefs_) c.release(a);
    linkRefs_.clear();
    c.release(att_);
    att_ = nullptr;
    locks_.clear();
}

void DatabaseImpl::close() {
    closed_ = true;
    releaseAll();
}

void DatabaseImpl::checkOpen() const {
    if (closed_ || !att_) throw JetError::make(err::kObjectInvalid);
    ws_->checkOpen();
    conn_->checkUsable();
}

void DatabaseImpl::beginStatement() {
    checkOpen();
    conn().refreshCatalogs();
}

Attachment* DatabaseImpl::sourceAttachment(Attachment& holder, const std::string& source) {
    std::string path = absoluteSource(holder.path, source);
    std::string canon;
    try {
        canon = conn().canonical(path);
    } catch (const JetError&) {
        // attached below, which reports it
    }
    for (auto* a : linkRefs_)
        if (!canon.empty() && a->path == canon) return a;
    Attachment* a = attachWithLock(path);  // throws 3024 for a missing source
    linkRefs_.push_back(a);
    return a;
}

sqlite::Resolver::Resolved DatabaseImpl::resolveIn(Attachment& a, std::string_view name,
                                                   int depth) {
    Resolved r;
    if (const sqlite::TableInfo* t = a.catalog.table(name)) {
        r.kind = Resolved::Kind::Table;
        r.schema = a.schema;
        r.table = t;
        return r;
    }
    if (const sqlite::LinkInfo* l = a.catalog.link(name)) {
        if (depth >= kMaxLinkDepth)
            throw JetError::make(err::kInputTableNotFound, std::string(name));
        std::string sourceTable = l->sourceTable.empty() ? l->name : l->sourceTable;
        Attachment* src = sourceAttachment(a, l->sourcePath);
        Resolved inner = resolveIn(*src, sourceTable, depth + 1);
        if (inner.kind != Resolved::Kind::Table)
            throw JetError::make(err::kInputTableNotFound, sourceTable);
        return inner;
    }
    if (depth == 0) {
        if (const sqlite::QueryInfo* q = a.catalog.query(name)) {
            r.kind = Resolved::Kind::Query;
            r.querySql = q->sql;
        }
    }
    return r;
}

sqlite::Resolver::Resolved DatabaseImpl::resolve(std::string_view name) {
    checkOpen();
    return resolveIn(*att_, name, 0);
}

Prepared DatabaseImpl::prepare(std::string_view sql) {
    checkOpen();
    Prepared p;
    std::string key = att_->schema;
    key.push_back('\x02');
    std::string shape;
    jetsql::LexShape(sql, shape, p.literals);
    if (startsWithWord(shape, "create") || startsWithWord(shape, "drop") ||
        startsWithWord(shape, "alter")) {
        jetsql::Lexed lx = jetsql::Lex(sql);
        p.ddl = jetsql::Parse(lx, sql);
        p.literals = std::move(lx.literals);
        return p;
    }
    key += shape;
    auto translate = [&] {
        jetsql::Lexed lx = jetsql::Lex(sql);
        auto st = jetsql::Parse(lx, sql);
        return conn().translate(*st, lx.literals, *this);
    };
    try {
        p.entry = conn().entry(key, translate);
    } catch (const JetError& e) {
        if (e.number() != err::kInputTableNotFound) throw;
        // Another program may have changed the design since the catalog was read.
        conn().reloadCatalog(*att_);
        p.entry = conn().entry(key, translate);
    }
    // Some literals are part of the translation (ORDER BY 2 sorts by the second column): a
    // statement with other values there has a translation of its own.
    if (const auto& keys = p.entry->tr->keyLiterals; !keys.empty()) {
        key.push_back('\x03');
        for (int i : keys) {
            key += p.literals[static_cast<size_t>(i)].text;
            key.push_back('\x04');
        }
        p.entry = conn().entry(key, translate);
    }
    return p;
}

long DatabaseImpl::execute(std::string_view sql, const sqlite::ParamValues* params) {
    beginStatement();
    Prepared p = prepare(sql);
    if (p.ddl) {
        executeDdl(*p.ddl);
        recordsAffected = 0;
        return 0;
    }
    const sqlite::Translation& tr = *p.entry->tr;
    if (tr.kind == Statement::Kind::Select) throw JetError::make(err::kCantExecuteSelect);
    if (tr.kind == Statement::Kind::SelectInto) return selectInto(p, params);
    checkWritable(tr.writeSchema, tr.writeTable);
    recordsAffected = conn().run(p.entry, p.literals, params, path_);
    return recordsAffected;
}

std::shared_ptr<RecordsetImpl> DatabaseImpl::open(std::string_view source, int type, int options,
                                                  const sqlite::ParamValues* params) {
    beginStatement();
    std::string sql(source);
    if (isBareName(source)) {
        jetsql::Lexed lx = jetsql::Lex(source);
        const std::string& name = lx.tokens[0].text;
        Resolved r = resolve(name);
        if (r.kind == Resolved::Kind::None) {
            conn().reloadCatalog(*att_);
            r = resolve(name);
        }
        if (r.kind == Resolved::Kind::None) throw JetError::make(err::kInputTableNotFound, name);
        sql = r.kind == Resolved::Kind::Query ? r.querySql : "SELECT * FROM [" + name + "]";
    }
    Prepared p = prepare(sql);
    if (p.ddl || p.entry->tr->kind != Statement::Kind::Select)
        throw JetError::make(err::kInvalidOperation);
    return std::make_shared<RecordsetImpl>(shared_from_this(), std::move(p), type, options, params);
}

void DatabaseImpl::afterDesignChange() {
    conn().designChanged(*att_);
}

void DatabaseImpl::saveQuery(const std::string& name, const std::string& sql, bool replace) {
    beginStatement();
    {
        jetsql::Lexed lx = jetsql::Lex(sql);
        jetsql::Parse(lx, sql);  // a query that does not parse is not saved
    }
    const auto& cat = att_->catalog;
    if (cat.table(name) || cat.link(name)) throw JetError::make(err::kTableExists, name);
    auto& c = conn();
    if (cat.query(name)) {
        if (!replace) throw JetError::make(err::kObjectExists, name);
        c.deleteObject(*att_, name);
    }
    c.putObject(*att_, name, sqlite::dialect::kObjectTypeQuery, nullptr, nullptr, &sql);
    afterDesignChange();
}

void DatabaseImpl::guardTable(const std::string& table, const std::string& guard) {
    beginStatement();
    const auto& cat = att_->catalog;
    if (!cat.table(table)) throw JetError::make(err::kInputTableNotFound, table);
    if (!cat.table(guard)) throw JetError::make(err::kInputTableNotFound, guard);
    conn().putObject(*att_, table, sqlite::dialect::kObjectTypeGuard, nullptr, &guard, nullptr);
    afterDesignChange();
}

void DatabaseImpl::linkTable(const std::string& name, const std::string& sourcePath,
                             const std::string& sourceTable) {
    beginStatement();
    // A file is named by its real path; a server's database as it was given, which keeps the
    // form that service files and ~/.pgpass know.
    std::string source = pg::NamesServer(sourcePath) ? sourcePath : conn().canonical(sourcePath);
    std::string table = sourceTable.empty() ? name : sourceTable;
    const auto& cat = att_->catalog;
    if (cat.table(name) || cat.link(name) || cat.query(name))
        throw JetError::make(err::kTableExists, name);
    Attachment* src = sourceAttachment(*att_, source);
    Resolved r = resolveIn(*src, table, 1);
    if (r.kind != Resolved::Kind::Table) throw JetError::make(err::kInputTableNotFound, table);
    conn().putObject(*att_, name, sqlite::dialect::kObjectTypeLink, &source, &table, nullptr);
    afterDesignChange();
}

// SELECT ... INTO: a new table with the query's columns and types, then its rows.
long DatabaseImpl::selectInto(Prepared& p, const sqlite::ParamValues* params) {
    const sqlite::Translation& tr = *p.entry->tr;
    const auto& cat = att_->catalog;
    const std::string& name = tr.writeTable;
    if (cat.table(name) || cat.link(name) || cat.query(name))
        throw JetError::make(err::kTableExists, name);
    recordsAffected = conn().selectInto(*att_, tr, p.literals, params, path_);
    return recordsAffected;
}

void DatabaseImpl::executeDdl(Statement& st) {
    auto& c = conn();
    const auto& cat = att_->catalog;
    switch (st.kind) {
        case Statement::Kind::CreateQuery:
            saveQuery(st.objectName, st.queryText, false);
            return;
        case Statement::Kind::DropQuery:
        case Statement::Kind::DropTable: {
            bool isLink = st.kind == Statement::Kind::DropTable && cat.link(st.objectName);
            if (st.kind == Statement::Kind::DropQuery || isLink) {
                if (st.kind == Statement::Kind::DropQuery && !cat.query(st.objectName))
                    throw JetError::make(err::kObjectNotFound, st.objectName);
                c.deleteObject(*att_, st.objectName);
                afterDesignChange();
                return;
            }
            break;
        }
        default:
            break;
    }
    c.runDdl(*att_, st, path_);
}

}  // namespace kelvor::detail
