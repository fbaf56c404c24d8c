// The one error type of the database engine layer.
//
// Every operation of the layer reports failure by throwing JetError, carrying the engine's error
// number, its description and a source; no other exception leaves the layer. Callers trap it
// where the programs' own procedures trap run-time errors and turn it into their error pair.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvor {

// Error numbers the programs act on or that commonly reach users. The texts are in
// jet_error.cpp; JetError::make() fills them in, with '|' replaced by the given argument(s).
namespace err {
inline constexpr int kInvalidProcedureCall = 5;
inline constexpr int kOverflow = 6;
inline constexpr int kOutOfMemory = 7;
inline constexpr int kDivisionByZero = 11;
inline constexpr int kTypeMismatch = 13;
inline constexpr int kObjectNotSet = 91;
inline constexpr int kInvalidUseOfNull = 94;
inline constexpr int kCantCreateObject = 429;
inline constexpr int kNoSuchMethod = 438;
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
inline constexpr int kNotAValidAccount = 3029;
inline constexpr int kCommitWithoutBegin = 3034;
inline constexpr int kResourcesExceeded = 3035;
inline constexpr int kDiskError = 3043;
inline constexpr int kInvalidPath = 3044;
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
inline constexpr int kCircularAlias = 3103;
inline constexpr int kNotInAggregate = 3122;
inline constexpr int kUnionColumns = 3307;
inline constexpr int kSubqueryRows = 3354;
inline constexpr int kQueryTooComplex = 3360;
inline constexpr int kUndefinedFunction = 3085;
inline constexpr int kSyntaxInJoin = 3135;
inline constexpr int kInvalidSql = 3129;
inline constexpr int kSyntaxInFrom = 3131;
inline constexpr int kSyntaxInInsert = 3134;
inline constexpr int kSyntaxInUpdate = 3144;
inline constexpr int kSyntaxInWhere = 3145;
inline constexpr int kSyntaxInOrderBy = 3138;
inline constexpr int kSyntaxInGroupBy = 3139;
inline constexpr int kSyntaxInParameters = 3140;
inline constexpr int kSyntaxInCreateTable = 3290;
inline constexpr int kSyntaxInCreateIndex = 3291;
inline constexpr int kSyntaxInFieldDefinition = 3292;
inline constexpr int kSyntaxInDrop = 3295;
inline constexpr int kSyntaxInAlterTable = 3293;
inline constexpr int kFieldExists = 3380;
inline constexpr int kSyntaxError = 3000;  // text carries the details
inline constexpr int kSpecifyDeleteTable = 3128;
inline constexpr int kFieldTooSmall = 3163;
inline constexpr int kFieldNotUpdatable = 3164;
inline constexpr int kSystemDbUnopenable = 3173;
inline constexpr int kLockedTableInUse = 3211;
inline constexpr int kCouldNotUpdateLocked = 3218;
inline constexpr int kInvalidOperation = 3219;
inline constexpr int kNotSupported = 3251;
inline constexpr int kTableLocked = 3262;
inline constexpr int kItemNotFound = 3265;
inline constexpr int kFieldRequired = 3314;
inline constexpr int kUnrecognizedFormat = 3343;
inline constexpr int kWorkgroupUnopenable = 3358;
inline constexpr int kDataTypeConversion = 3421;
inline constexpr int kObjectInvalid = 3420;
inline constexpr int kDataTypeMismatch = 3464;
inline constexpr int kDatabaseExists = 3204;
inline constexpr int kFileInUse = 3045;
inline constexpr int kOpenedByOther = 3356;
inline constexpr int kWorkgroupMissing = 3028;
inline constexpr int kAccountExists = 3390;
inline constexpr int kRecordDeleted = 3167;
inline constexpr int kValuesMismatch = 3346;
inline constexpr int kNumericFieldOverflow = 3349;
inline constexpr int kNotImplemented = 3032;  // "Cannot perform this operation." + detail
}  // namespace err

class JetError : public std::runtime_error {
  public:
    JetError(int number, std::string description, std::string source = "DAO.Database")
        : std::runtime_error(description),
          number_(number),
          description_(std::move(description)),
          source_(std::move(source)) {}

    // The engine's own text for `number`, with each '|' replaced by the next argument.
    static JetError make(int number, const std::string& arg1 = {}, const std::string& arg2 = {},
                         const std::string& arg3 = {});
    static std::string messageFor(int number);

    int number() const { return number_; }
    const std::string& description() const { return description_; }
    const std::string& source() const { return source_; }

  private:
    int number_;
    std::string description_;
    std::string source_;
};

}  // namespace kelvor
