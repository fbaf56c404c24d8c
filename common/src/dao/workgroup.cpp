#include "kelvor/workgroup.h"

#include <sodium.h>
#include <sys/stat.h>

#include "dao/dao_impl.h"
#include "kelvor/dao.h"

namespace kelvor::workgroup {

namespace {

void initSodium() {
    static const int ok = sodium_init();
    if (ok < 0) throw JetError::make(err::kOutOfMemory);
}

std::string hash(const std::string& password) {
    initSodium();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw JetError::make(err::kOutOfMemory);
    return out;
}

// The workgroup file is read and written through a workspace of its own, so that neither the
// default workspace's transactions nor its open databases are touched.
Database openPrivate(const std::string& path) {
    static const auto ws = std::make_shared<detail::WorkspaceImpl>("#Workgroup#", "engine");
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        throw JetError::make(err::kWorkgroupMissing);
    try {
        return Workspace::FromImpl(ws).OpenDatabase(path);
    } catch (const JetError& e) {
        if (e.number() == err::kUnrecognizedFormat) throw;
        if (e.number() == err::kFileInUse || e.number() == err::kCantOpenFile ||
            e.number() == err::kFileNotFound)
            throw JetError::make(err::kWorkgroupMissing);
        throw;
    }
}

// Runs `f` on the accounts, mapping the failures of a file that is not a (readable) workgroup
// file to the engine's workgroup errors.
template <typename F>
auto withAccounts(const std::string& path, F f) {
    Database db = openPrivate(path);
    try {
        return f(db);
    } catch (const JetError& e) {
        if (e.number() == err::kInputTableNotFound || e.number() == err::kTooFewParameters)
            throw JetError::make(err::kWorkgroupUnopenable, path);
        if (e.number() == err::kUnrecognizedFormat)
            throw JetError::make(err::kSystemDbUnopenable, path);
        throw;
    }
}

}  // namespace

void Create(const std::string& path) {
    DBEngine().CreateDatabase(path);
    Database db = openPrivate(path);
    db.Execute(
        "CREATE TABLE MSysAccounts (Name TEXT(20) NOT NULL PRIMARY KEY, PasswordHash TEXT(128), "
        "FGroup YESNO NOT NULL)");
    db.Execute("CREATE TABLE MSysGroups (GroupName TEXT(20) NOT NULL, UserName TEXT(20) NOT NULL)");
    QueryDef add = db.CreateQueryDef(
        "",
        "PARAMETERS pName Text(20), pHash Text(128), pGroup YesNo; INSERT INTO MSysAccounts "
        "(Name, PasswordHash, FGroup) VALUES (pName, pHash, pGroup)");
    for (const char* group : {"Admins", "Users"}) {
        add.Parameters("pName") = group;
        add.Parameters("pHash") = Value();
        add.Parameters("pGroup") = true;
        add.Execute(dbFailOnError);
    }
    add.Parameters("pName") = "Admin";
    add.Parameters("pHash") = hash("");
    add.Parameters("pGroup") = false;
    add.Execute(dbFailOnError);
    db.Execute("INSERT INTO MSysGroups VALUES ('Admins', 'Admin')");
    db.Execute("INSERT INTO MSysGroups VALUES ('Users', 'Admin')");
}

void AddUser(const std::string& path, const std::string& user, const std::string& password) {
    if (user.empty() || user.size() > 20) throw JetError::make(err::kInvalidArgument);
    std::string h = hash(password);
    withAccounts(path, [&](Database& db) {
        QueryDef find = db.CreateQueryDef(
            "", "PARAMETERS pName Text(20); SELECT Name FROM MSysAccounts WHERE Name = pName");
        find.Parameters("pName") = user;
        if (!find.OpenRecordset(dbOpenSnapshot).EOF_()) throw JetError::make(err::kAccountExists);
        QueryDef add = db.CreateQueryDef(
            "",
            "PARAMETERS pName Text(20), pHash Text(128); INSERT INTO MSysAccounts (Name, "
            "PasswordHash, FGroup) VALUES (pName, pHash, False)");
        add.Parameters("pName") = user;
        add.Parameters("pHash") = h;
        add.Execute(dbFailOnError);
        QueryDef member = db.CreateQueryDef(
            "", "PARAMETERS pName Text(20); INSERT INTO MSysGroups VALUES ('Users', pName)");
        member.Parameters("pName") = user;
        member.Execute(dbFailOnError);
        return 0;
    });
}

std::string Authenticate(const std::string& path, const std::string& user,
                         const std::string& password) {
    initSodium();
    return withAccounts(path, [&](Database& db) {
        QueryDef find = db.CreateQueryDef(
            "",
            "PARAMETERS pName Text(20); SELECT Name, PasswordHash FROM MSysAccounts WHERE "
            "Name = pName AND FGroup = False");
        find.Parameters("pName") = user;
        Recordset rs = find.OpenRecordset(dbOpenSnapshot);
        if (rs.EOF_()) throw JetError::make(err::kNotAValidAccount);
        std::string name = rs.Fields("Name").Value().text();
        std::string stored = rs.Fields("PasswordHash").Value().text();
        if (crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) != 0)
            throw JetError::make(err::kNotAValidAccount);
        return name;
    });
}

}  // namespace kelvor::workgroup
