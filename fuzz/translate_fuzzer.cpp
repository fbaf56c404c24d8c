// libFuzzer harness: each input is one Jet SQL statement, lexed (both lexer paths), parsed and
// translated to SQLite SQL against the fixture database, without running it. An engine error is
// an answer; a crash, a sanitizer report, a hang or runaway memory is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dao/dao_impl.h"
#include "fixture.h"
#include "jetsql/lexer.h"
#include "kelvor/jet_error.h"
#include "sqlite/translate.h"

using namespace kelvor;
using jetsql::Statement;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The database object is the resolver the layer itself translates with; the translation is
    // called directly so that no statement cache makes one input depend on earlier ones.
    static const auto db = std::make_shared<detail::DatabaseImpl>(
        std::make_shared<detail::WorkspaceImpl>("fuzz", "admin"), fuzz::FixturePath());
    const std::string_view sql(reinterpret_cast<const char*>(data), size);
    try {
        std::string shape;
        std::vector<jetsql::Literal> literals;
        jetsql::LexShape(sql, shape, literals);
    } catch (const JetError&) {
    }
    try {
        jetsql::Lexed lx = jetsql::Lex(sql);
        std::unique_ptr<Statement> st = jetsql::Parse(lx, sql);
        if (sqlite::IsTableDdl(st->kind))
            sqlite::TranslateDdl(*st, db->attachment().schema, db->attachment().catalog);
        else if (st->kind != Statement::Kind::CreateQuery && st->kind != Statement::Kind::DropQuery)
            sqlite::Translate(*st, lx.literals, *db);  // a saved query's body: when it is used
    } catch (const JetError&) {
    }
    return 0;
}
