// The catalogue of errors and the one error type of every Kelvor program.
//
// Who uses what:
// - The engine layer (common/) reports every failure by throwing Error, under its layer name
//   JetError (jet_error.h), with the engine's number, text and source.
// - The programs' procedures trap it and hand back the error pair (ErrorPair below): the
//   queue engine and the wizard nest procedure labels into the text (FormatErrorPair), the
//   application server answers "-1..." result texts on the bus.
// - The `kelvor` tool prints "error NUMBER: DESCRIPTION"; the wizard shows message boxes.
//
// Every number a program raises or reports has a name in err:: and its text in the one table
// in jet_error.cpp; Error::make() fills the text in. The system's own result codes of the
// registry calls are a number space of their own (kelvor/registry.h), with their texts behind
// FormatMessageA.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvor {

namespace err {

// ---- the runtime's errors ----
inline constexpr int kInvalidProcedureCall = 5;
inline constexpr int kOverflow = 6;
inline constexpr int kOutOfMemory = 7;
inline constexpr int kDivisionByZero = 11;
inline constexpr int kUserInterrupt = 18;  // Ctrl-C stopped long work of a program
inline constexpr int kTypeMismatch = 13;
inline constexpr int kInternalError = 51;  // a failure that is no engine error; text + detail
inline constexpr int kRuntimeFileNotFound = 53;
inline constexpr int kFileAlreadyExists = 58;
inline constexpr int kPermissionDenied = 70;
inline constexpr int kPathFileAccessError = 75;
inline constexpr int kObjectNotSet = 91;
inline constexpr int kInvalidUseOfNull = 94;
// ---- automation: creating and calling objects of another program ----
inline constexpr int kCantCreateObject = 429;
inline constexpr int kNoSuchMethod = 438;
inline constexpr int kAutomationError = 440;          // text + ": " + the bus's message
inline constexpr int kRemoteServerUnavailable = 462;  // text + " (" + the bus's message + ")"

// ---- the database engine's errors ----
inline constexpr int kSyntaxError = 3000;  // also the layer's internal failures; text + details
inline constexpr int kInvalidArgument = 3001;
inline constexpr int kTooManyTransactions = 3003;
inline constexpr int kTableExists = 3010;
inline constexpr int kObjectNotFound = 3011;
inline constexpr int kObjectExists = 3012;
inline constexpr int kUpdateWithoutAddNew = 3020;
inline constexpr int kNoCurrentRecord = 3021;
inline constexpr int kDuplicateKey = 3022;
inline constexpr int kFileNotFound = 3024;
inline constexpr int kDiskFull = 3026;
inline constexpr int kReadOnly = 3027;
inline constexpr int kWorkgroupMissing = 3028;
inline constexpr int kNotAValidAccount = 3029;
inline constexpr int kNotImplemented = 3032;  // "Cannot perform this operation; " + detail
inline constexpr int kCommitWithoutBegin = 3034;
inline constexpr int kResourcesExceeded = 3035;
inline constexpr int kDiskError = 3043;
inline constexpr int kInvalidPath = 3044;
inline constexpr int kFileInUse = 3045;
inline constexpr int kTooManyDatabases = 3048;
inline constexpr int kCantOpenFile = 3051;
inline constexpr int kCantRepair = 3056;
inline constexpr int kTooFewParameters = 3061;
inline constexpr int kCantExecuteSelect = 3065;
inline constexpr int kNoInputTable = 3067;
inline constexpr int kUnknownName = 3070;
inline constexpr int kOperationMustBeUpdatable = 3073;
inline constexpr int kSyntaxInExpression = 3075;
inline constexpr int kInputTableNotFound = 3078;
inline constexpr int kAmbiguousField = 3079;
inline constexpr int kUndefinedFunction = 3085;
inline constexpr int kCircularAlias = 3103;
inline constexpr int kNotInAggregate = 3122;
inline constexpr int kSpecifyDeleteTable = 3128;
inline constexpr int kInvalidSql = 3129;
inline constexpr int kSyntaxInFrom = 3131;
inline constexpr int kSyntaxInInsert = 3134;
inline constexpr int kSyntaxInJoin = 3135;
inline constexpr int kSyntaxInOrderBy = 3138;
inline constexpr int kSyntaxInGroupBy = 3139;
inline constexpr int kSyntaxInParameters = 3140;
inline constexpr int kSelectMisspelled = 3141;
inline constexpr int kCharactersAfterEnd = 3142;
inline constexpr int kSyntaxInUpdate = 3144;
inline constexpr int kSyntaxInWhere = 3145;
inline constexpr int kFieldTooSmall = 3163;
inline constexpr int kFieldNotUpdatable = 3164;
inline constexpr int kRecordDeleted = 3167;
inline constexpr int kSystemDbUnopenable = 3173;
inline constexpr int kDatabaseExists = 3204;
inline constexpr int kLockedTableInUse = 3211;
inline constexpr int kCouldNotUpdateLocked = 3218;
inline constexpr int kInvalidOperation = 3219;
inline constexpr int kNotSupported = 3251;
inline constexpr int kTableLocked = 3262;
inline constexpr int kItemNotFound = 3265;
inline constexpr int kSyntaxInCreateTable = 3290;
inline constexpr int kSyntaxInCreateIndex = 3291;
inline constexpr int kSyntaxInFieldDefinition = 3292;
inline constexpr int kSyntaxInAlterTable = 3293;
inline constexpr int kSyntaxInDrop = 3295;
inline constexpr int kUnionColumns = 3307;
inline constexpr int kFieldRequired = 3314;
inline constexpr int kUnrecognizedFormat = 3343;
inline constexpr int kValuesMismatch = 3346;
inline constexpr int kNumericFieldOverflow = 3349;
inline constexpr int kSubqueryRows = 3354;
inline constexpr int kOpenedByOther = 3356;
inline constexpr int kWorkgroupUnopenable = 3358;
inline constexpr int kQueryTooComplex = 3360;
inline constexpr int kFieldExists = 3380;
inline constexpr int kAccountExists = 3390;
inline constexpr int kObjectInvalid = 3420;
inline constexpr int kDataTypeConversion = 3421;
inline constexpr int kDataTypeMismatch = 3464;

// ---- the queue engine's own errors ----
inline constexpr int kMissingDatabasePath = -1;  // no DT or CA path given to the run
inline constexpr int kLogIdInQueue = -100;
inline constexpr int kClientIdInQueue = -101;
inline constexpr int kClientIdMissing = -102;
// The options record is missing. The time stamp words it differently from reading the
// options: "Missing Options record." (queue_engine.cpp).
inline constexpr int kOptionsRecordMissing = -103;

// ---- the application server's own errors ----
inline constexpr int kQueueProcessingBusy = 1238;  // the queue-processing lock is taken

}  // namespace err

class Error : public std::runtime_error {
  public:
    Error(int number, std::string description, std::string source = "DAO.Database")
        : std::runtime_error(description),
          number_(number),
          description_(std::move(description)),
          source_(std::move(source)) {}

    // The catalogue's text for `number`, with each '|' replaced by the next argument.
    static Error make(int number, const std::string& arg1 = {}, const std::string& arg2 = {},
                      const std::string& arg3 = {});
    // The catalogue's text as it stands ('|' and all); "Reserved error (N); ..." for a number
    // the catalogue does not hold.
    static std::string messageFor(int number);

    int number() const { return number_; }
    const std::string& description() const { return description_; }
    const std::string& source() const { return source_; }

  private:
    int number_;
    std::string description_;
    std::string source_;
};

// The error pair that the programs' procedures hand back to their callers by reference: the
// number (lErr) and the text (sError).
struct ErrorPair {
    int32_t lErr = 0;
    std::string sError;

    static ErrorPair fromException(const Error& e) { return {e.number(), e.description()}; }

    // Into a caller's by-reference pair.
    const ErrorPair& writeTo(int32_t& toErr, std::string& toError) const {
        toErr = lErr;
        toError = sError;
        return *this;
    }
    // "[number] text": how a "-1" result text quotes the pair.
    std::string bracketed() const { return "[" + std::to_string(lErr) + "] " + sError; }
    // The result text of a server method that trapped the error: "-1[Label][number] text".
    std::string procedureFailure(std::string_view label) const {
        return "-1[" + std::string(label) + "]" + bracketed();
    }
    // The same for a method that writes no label: "-1[number] text".
    std::string failure() const { return "-1" + bracketed(); }
    // The result text of a refusal: "-1" and the text alone.
    std::string refusal() const { return "-1" + sError; }
};

// A trapped error turned into the error pair of the procedure `where` (the program's title or
// module, a point and the procedure's label), as the queue engine and the wizard report:
// - a non-zero `number` replaces the pair: `number`, "[where][VB]; description";
// - number 0 after a callee reported a pair (lErr not 0) puts "[where]; " in front of the
//   callee's text and keeps its number, so that the texts nest outermost procedure first;
// - with both 0 nothing changes.
// Never throws: an error inside the error handler is ignored.
void FormatErrorPair(int32_t& lErr, std::string& sError, int32_t number,
                     const std::string& description, const std::string& where);

}  // namespace kelvor
