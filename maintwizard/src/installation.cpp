#include "installation.h"

#include <cctype>
#include <filesystem>
#include <fstream>

#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/registry.h"
#include "kelvor/server.h"
#include "kelvor/workgroup.h"

namespace kelvor::wizard {

const std::string kSystemPassword("\x0b\x01\x13\x07\x1a\x02\x10\x05", 8);

namespace {

// Backslashes and quotes are escaped in .reg text values.
std::string regText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace

void CreateInstallation(const std::string& dir, const InstallationOptions& options) {
    if (!options.server.empty() && !NamesServerDatabase(options.server))
        throw Error::make(err::kInvalidPath, options.server);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw Error::make(err::kInvalidPath, dir);
    std::string base = std::filesystem::absolute(dir).lexically_normal().string();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string mdw = base + "/Kelvor2000.mdw", sm = base + "/SYSSM1.mdb",
                program = base + "/Kelvor4PE.mde";

    workgroup::Create(mdw);
    workgroup::AddUser(mdw, "System", kSystemPassword);

    DBEngine().CreateDatabase(sm);
    DBEngine().CreateDatabase(program);
    Workspace ws = DBEngine().Workspaces(0);
    {
        Database smDb = ws.OpenDatabase(sm);
        smDb.Execute("CREATE TABLE tblSmCompInfo (CompID TEXT(10) PRIMARY KEY, Name TEXT(100))");
        smDb.Execute(
            "CREATE TABLE tblSmCompFiles (CompID TEXT(10), AppID TEXT(10), UNCFilePath "
            "TEXT(255), FileName TEXT(64))");
        for (int k = 1; k <= options.companies; ++k) {
            char code[16];
            std::snprintf(code, sizeof code, "C%02d", k);
            std::string companyDir = base + "/companies/" + code;
            queueengine::SampleOptions sample;
            sample.customers = options.customers;
            sample.seed = static_cast<uint64_t>(k);
            // On a server, a row's folder is the server's part of the path and its file the
            // schema, as the wizard puts them together again.
            std::string schema;
            if (!options.server.empty()) {
                const size_t hash = options.server.rfind('#');
                companyDir = options.server.substr(0, hash);
                schema = options.server.substr(hash + 1) + "_" + code;
                for (char& c : schema) c = static_cast<char>(std::tolower(c));
                queueengine::CreateCompany(companyDir + "#" + schema, sample);
            } else {
                queueengine::CreateCompany(companyDir, sample);
            }
            static const char* const kNames[] = {"Harbor Trading Ltd", "Cedar Foods Inc",
                                                 "Nordic Motors AB",   "Quartz Print Co",
                                                 "Maple Logistics",    "Falcon Hardware"};
            QueryDef add = smDb.CreateQueryDef(
                "",
                "PARAMETERS pComp Text(10), pName Text(100); INSERT INTO tblSmCompInfo "
                "VALUES (pComp, pName)");
            add.Parameters("pComp") = code;
            add.Parameters("pName") = kNames[(k - 1) % 6];
            add.Execute(dbFailOnError);
            QueryDef file = smDb.CreateQueryDef(
                "",
                "PARAMETERS pComp Text(10), pApp Text(10), pDir Text(255), pFile Text(64); "
                "INSERT INTO tblSmCompFiles VALUES (pComp, pApp, pDir, pFile)");
            for (const char* app : {"DT", "CA", "SO", "GL"}) {
                file.Parameters("pComp") = code;
                file.Parameters("pApp") = app;
                file.Parameters("pDir") = companyDir;
                std::string name = std::string(app) + ".mdb";
                if (!schema.empty()) {
                    name = schema + "_" + app;
                    for (char& c : name) c = static_cast<char>(std::tolower(c));
                }
                file.Parameters("pFile") = name;
                file.Execute(dbFailOnError);
            }
        }
        Database programDb = ws.OpenDatabase(program);
        programDb.Execute("CREATE TABLE tblKvVersion (Version TEXT(20))");
        programDb.Execute("INSERT INTO tblKvVersion VALUES ('4.1.0')");
        programDb.LinkTable("tblSmCompInfo", sm);
        programDb.LinkTable("tblSmCompFiles", sm);
    }

    std::filesystem::create_directories(base + "/registry", ec);
    std::ofstream reg(base + "/registry/kelvor.reg", std::ios::binary | std::ios::trunc);
    reg << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\Kelvor 4.1 PE\\InstallPath]\r\n"
        << "@=\"" << regText(base) << "\"\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\Kelvor 4.1 PE\\4.10.000\\Jet\\4.0\\Engines]\r\n"
        << "\"SYSTEMDB\"=\"" << regText(mdw) << "\"\r\n";
    if (!reg.flush()) throw Error::make(err::kDiskError);
}

}  // namespace kelvor::wizard
