// What every storage engine's emitter shares: the walk over a bound, planned statement that
// prints SELECT, FROM, joins, unions, TOP, INSERT, UPDATE and DELETE, and the expressions
// whose SQL is standard. An engine's emitter derives from it and says how its values are
// represented: parameters, case-blind text, truth values, conversions, arithmetic, and the
// names of its function library.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jetsql/bound.h"
#include "sqlite/translate.h"

namespace kelvor::emit {

using jetsql::BExpr;
using jetsql::JType;

class Emitter {
  public:
    explicit Emitter(const jetsql::BoundStatement& st) : st_(st) {}
    virtual ~Emitter() = default;
    std::shared_ptr<sqlite::Translation> run();

  protected:
    // ---- what an engine says -----------------------------------------------------------
    // Slot `slot` (0-based) holding a value of type `type`.
    virtual std::string slotRef(int slot, JType type) const = 0;
    // The slot after the statement's own that holds a record's identity (Translation::fetchSql).
    // The slot that takes a record's key, for the table whose identity `rowid` names.
    virtual std::string identitySlot(int slot, const std::string& /*rowid*/) const {
        return slotRef(slot, JType::Variant);
    }
    // Appended to a text value to compare it without regard to case.
    virtual std::string caseBlind() const = 0;
    // A function of the engine's library of the engine's answers (kv_*).
    virtual std::string lib(std::string_view name) const = 0;
    // An expression as a value (truth values as -1 and 0) and as a condition.
    virtual std::string val(const BExpr& e) = 0;
    virtual std::string cond(const BExpr& e) = 0;
    virtual std::string cast(const BExpr& x, JType to) = 0;
    virtual std::string store(const BExpr& x, JType t) = 0;
    virtual std::string arith(const BExpr& e) = 0;
    // Fails the statement with the engine's error `number`, typed as `like`.
    virtual std::string raise(int number, const std::string& like) const = 0;
    // The smallest whole number at least `x` (a positive number).
    virtual std::string ceiling(const std::string& x) const = 0;
    // True where text items of a SELECT carry the case-blind order themselves, so that
    // DISTINCT, unions and ORDER BY by column number compare them without regard to case.
    virtual bool collateItems() const { return false; }
    // A function call; the base knows the ones whose SQL the engines share.
    virtual std::string call(const BExpr& e);
    // One value of a choice (IIf, Switch, Choose, Nz) whose result has type `type`.
    virtual std::string branch(const BExpr& x, JType) { return val(x); }
    // args[0] [Not] Between args[1] And args[2].
    virtual std::string between(const BExpr& e);
    // A value written to a column (INSERT and UPDATE).
    virtual std::string written(const BExpr& x, const sqlite::ColumnInfo&) { return val(x); }
    // The same for the output column `name` of a SELECT that feeds an INSERT.
    virtual std::string writtenOutput(const std::string& name, const sqlite::ColumnInfo&) {
        return name;
    }
    // True where GROUP BY record identities must also name the items it shows (the engine
    // does not know that they depend on the identity).
    virtual bool groupShownWithIdentity() const { return false; }
    // Appended to a sort term where the engine does not sort Null first ascending.
    virtual std::string nullsOrder(bool) const { return ""; }
    // True where grouped rows must be sorted by their groups to come in that order (the
    // engine's order) when the query gives none.
    virtual bool sortsGroups() const { return false; }

    // ---- shared ------------------------------------------------------------------------
    std::string sql(const BExpr& e);
    std::string logical(const BExpr& e, size_t from, size_t to);
    std::string libCall(std::string_view name, const BExpr& e, size_t n);
    std::string columnRef(const BExpr& e) const;
    std::string opText(BExpr::Op op) const;
    const jetsql::BoundTable& tableAt(int depth, int table) const;
    std::string from(const jetsql::BoundSelect& s, const jetsql::BoundFrom& f);
    std::string fromList(const jetsql::BoundSelect& s);
    std::string subquery(const jetsql::BoundSelect& s) { return select(s, false); }
    // `top`: the statement's own SELECT; `inRecordOrder`: rows in a defined order (see there).
    std::string select(const jetsql::BoundSelect& s, bool top, bool inRecordOrder = false);
    std::string insert();
    std::string update();
    std::string remove();

    const jetsql::BoundStatement& st_;
    std::vector<const jetsql::BoundSelect*> scopes_;
    std::string fetchSql_;
};

}  // namespace kelvor::emit
