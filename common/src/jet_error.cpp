#include "kelvor/jet_error.h"

#include <unordered_map>

namespace kelvor {

namespace {

struct Entry {
    int number;
    const char* text;
};

// The catalogue's texts, one per number of err::. A '|' stands for an argument of make().
constexpr Entry kCatalogue[] = {
    {err::kInvalidProcedureCall, "Invalid procedure call or argument"},
    {err::kOverflow, "Overflow"},
    {err::kDivisionByZero, "Division by zero"},
    {err::kUserInterrupt, "User interrupt occurred"},
    {err::kOutOfMemory, "Out of memory"},
    {err::kTypeMismatch, "Type mismatch"},
    {err::kObjectNotSet, "Object variable or With block variable not set"},
    {err::kInvalidUseOfNull, "Invalid use of Null"},
    {err::kCantCreateObject, "ActiveX component can't create object"},
    {err::kNoSuchMethod, "Object doesn't support this property or method"},
    {err::kSyntaxError, "Syntax error."},
    {err::kCircularAlias,
     "Circular reference caused by alias '|' in query definition's SELECT list."},
    {err::kQueryTooComplex, "Query is too complex."},
    {err::kUnionColumns,
     "The number of columns in the two selected tables or queries of a union query do not "
     "match."},
    {err::kSubqueryRows, "At most one record can be returned by this subquery."},
    {err::kNotInAggregate,
     "You tried to execute a query that does not include the specified expression '|' as "
     "part of an aggregate function."},
    {err::kInvalidArgument, "Invalid argument."},
    {err::kTooManyTransactions,
     "Could not start transaction; too many transactions already nested."},
    {err::kTableExists, "Table '|' already exists."},
    {err::kObjectNotFound,
     "The database engine could not find the object '|'. Make sure the object exists and that "
     "you spell its name and the path name correctly."},
    {err::kObjectExists, "Object '|' already exists."},
    {err::kUpdateWithoutAddNew, "Update or CancelUpdate without AddNew or Edit."},
    {err::kNoCurrentRecord, "No current record."},
    {err::kDuplicateKey,
     "The changes you requested to the table were not successful because they would create "
     "duplicate values in the index, primary key, or relationship. Change the data in the "
     "field or fields that contain duplicate data, remove the index, or redefine the index to "
     "permit duplicate entries and try again."},
    {err::kFileNotFound, "Could not find file '|'."},
    {err::kDiskFull, "Not enough space on disk."},
    {err::kReadOnly, "Cannot update. Database or object is read-only."},
    {err::kNotAValidAccount, "Not a valid account name or password."},
    {err::kNotImplemented, "Cannot perform this operation; |"},
    {err::kCommitWithoutBegin,
     "You tried to commit or rollback a transaction without first beginning a transaction."},
    {err::kResourcesExceeded, "System resource exceeded."},
    {err::kDiskError, "Disk or network error."},
    {err::kInvalidPath,
     "'|' is not a valid path. Make sure that the path name is spelled correctly and that "
     "you are connected to the server on which the file resides."},
    {err::kTooManyDatabases, "Cannot open any more databases."},
    {err::kCantOpenFile,
     "The database engine cannot open the file '|'. It is already opened exclusively by "
     "another user, or you need permission to view its data."},
    {err::kCantRepair, "Couldn't repair this database."},
    {err::kTooFewParameters, "Too few parameters. Expected |."},
    {err::kCantExecuteSelect, "Cannot execute a select query."},
    {err::kNoInputTable, "Query input must contain at least one table or query."},
    {err::kUnknownName,
     "The database engine does not recognize '|' as a valid field name or expression."},
    {err::kOperationMustBeUpdatable, "Operation must use an updateable query."},
    {err::kSyntaxInExpression, "Syntax error (missing operator) in query expression '|'."},
    {err::kInputTableNotFound,
     "The database engine cannot find the input table or query '|'. Make sure it exists and "
     "that its name is spelled correctly."},
    {err::kAmbiguousField,
     "The specified field '|' could refer to more than one table listed in the FROM clause "
     "of your SQL statement."},
    {err::kUndefinedFunction, "Undefined function '|' in expression."},
    {err::kSpecifyDeleteTable, "Specify the table containing the records you want to delete."},
    {err::kInvalidSql,
     "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or "
     "'UPDATE'."},
    {err::kSyntaxInFrom, "Syntax error in FROM clause."},
    {err::kSyntaxInInsert, "Syntax error in INSERT INTO statement."},
    {err::kSyntaxInJoin, "Syntax error in JOIN operation."},
    {err::kSyntaxInOrderBy, "Syntax error in ORDER BY clause."},
    {err::kSyntaxInGroupBy, "Syntax error in GROUP BY clause."},
    {err::kSyntaxInParameters, "Syntax error in PARAMETER clause."},
    {err::kSyntaxInUpdate, "Syntax error in UPDATE statement."},
    {err::kSyntaxInWhere, "Syntax error in WHERE clause."},
    {err::kSyntaxInCreateTable, "Syntax error in CREATE TABLE statement."},
    {err::kSyntaxInCreateIndex, "Syntax error in CREATE INDEX statement."},
    {err::kSyntaxInFieldDefinition, "Syntax error in field definition."},
    {err::kSyntaxInDrop, "Syntax error in DROP TABLE or DROP INDEX."},
    {err::kSyntaxInAlterTable, "Syntax error in ALTER TABLE statement."},
    {err::kFieldExists, "Field '|' already exists in table '|'."},
    {err::kFieldTooSmall,
     "The field is too small to accept the amount of data you attempted to add. Try "
     "inserting or pasting less data."},
    {err::kFieldNotUpdatable, "Field cannot be updated."},
    {err::kSystemDbUnopenable,
     "Could not open the workgroup information file '|'; it is damaged or not a workgroup "
     "file."},
    {err::kLockedTableInUse,
     "The database engine could not lock table '|' because it is already in use by another "
     "person or process."},
    {err::kCouldNotUpdateLocked, "Could not update; currently locked."},
    {err::kInvalidOperation, "Invalid operation."},
    {err::kNotSupported, "Operation is not supported for this type of object."},
    {err::kTableLocked, "Couldn't lock table '|'; currently in use by user '|' on machine '|'."},
    {err::kItemNotFound, "Item not found in this collection."},
    {err::kDatabaseExists, "Database already exists."},
    {err::kAccountExists, "Account name already exists."},
    {err::kFileInUse, "Could not use '|'; file already in use."},
    {err::kOpenedByOther,
     "You attempted to open a database that is already opened by user '|' on machine '|'. "
     "Try again when the database is available."},
    {err::kWorkgroupMissing,
     "Cannot start your application. The workgroup information file is missing or opened "
     "exclusively by another user."},
    {err::kRecordDeleted, "Record is deleted."},
    {err::kValuesMismatch, "Number of query values and destination fields are not the same."},
    {err::kNumericFieldOverflow, "Numeric field overflow."},
    {err::kFieldRequired,
     "The field '|' cannot contain a Null value because the Required property for this field "
     "is set to True. Enter a value in this field."},
    {err::kUnrecognizedFormat, "Unrecognized database format '|'."},
    {err::kWorkgroupUnopenable, "Cannot open the workgroup information file '|'."},
    {err::kObjectInvalid, "Object invalid or no longer set."},
    {err::kDataTypeConversion, "Data type conversion error."},
    {err::kDataTypeMismatch, "Data type mismatch in criteria expression."},
    {err::kInternalError, "Internal error"},
    {err::kRuntimeFileNotFound, "File not found"},
    {err::kFileAlreadyExists, "File already exists"},
    {err::kPermissionDenied, "Permission denied"},
    {err::kPathFileAccessError, "Path/File access error"},
    {err::kAutomationError, "Automation error"},
    {err::kRemoteServerUnavailable, "The remote server machine does not exist or is unavailable"},
    {err::kSelectMisspelled,
     "The SELECT statement includes a reserved word or an argument name that is misspelled "
     "or missing, or the punctuation is incorrect."},
    {err::kCharactersAfterEnd, "Characters found after end of SQL statement."},
    {err::kMissingDatabasePath, "Missing path to either DT or CA application database !"},
    {err::kLogIdInQueue, "LogID already exist in the Queue !"},
    {err::kClientIdInQueue, "ClientID already exist in the Queue !"},
    {err::kClientIdMissing, "ClientID is not specified, unable to add record to the Queue !"},
    {err::kOptionsRecordMissing, "Missing record in Options table !"},
    {err::kQueueProcessingBusy,
     "Another user is performing Queue Processing.\r\n\rPlease try again later !"},
};

// A number entered twice would hide one of its texts; an empty text would say nothing.
constexpr bool wellFormed() {
    for (const Entry& a : kCatalogue) {
        if (!a.text || !*a.text) return false;
        int seen = 0;
        for (const Entry& b : kCatalogue) seen += a.number == b.number ? 1 : 0;
        if (seen != 1) return false;
    }
    return true;
}
static_assert(wellFormed(), "every number of the catalogue once, each with a text");

const std::unordered_map<int, const char*>& messages() {
    static const std::unordered_map<int, const char*> m = [] {
        std::unordered_map<int, const char*> out;
        for (const Entry& e : kCatalogue) out.emplace(e.number, e.text);
        return out;
    }();
    return m;
}

}  // namespace

std::string Error::messageFor(int number) {
    auto it = messages().find(number);
    return it == messages().end() ? std::string("Reserved error (") + std::to_string(number) +
                                        "); there is no message for this error."
                                  : std::string(it->second);
}

Error Error::make(int number, const std::string& arg1, const std::string& arg2,
                  const std::string& arg3) {
    std::string text = messageFor(number);
    const std::string* args[] = {&arg1, &arg2, &arg3};
    size_t next = 0;
    std::string out;
    out.reserve(text.size() + arg1.size() + arg2.size() + arg3.size());
    for (char c : text) {
        if (c == '|' && next < 3) {
            out += *args[next++];
        } else {
            out.push_back(c);
        }
    }
    return Error(number, std::move(out));
}

void FormatErrorPair(int32_t& lErr, std::string& sError, int32_t number,
                     const std::string& description, const std::string& where) {
    try {
        if (number != 0) {
            lErr = number;
            sError = "[" + where + "][VB]; " + description;
        } else if (lErr != 0) {
            sError = "[" + where + "]; " + sError;
        }
    } catch (...) {
        // Errors inside the error handler are ignored.
    }
}

}  // namespace kelvor
