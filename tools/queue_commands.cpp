// kelvor create-company, process-queue and queue show.
#include <iostream>
#include <map>
#include <stdexcept>

#include "commands.h"
#include "installation.h"
#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "output.h"

namespace kelvor::tool {

namespace {

// --name VALUE options; anything else is a usage error.
std::map<std::string, std::string> options(const Args& args, size_t from,
                                           std::initializer_list<const char*> valued,
                                           std::initializer_list<const char*> flags,
                                           const char* usage) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < args.size(); ++i) {
        bool known = false;
        for (const char* v : valued) {
            if (args[i] == v) {
                if (i + 1 >= args.size()) Usage(usage);
                out[v] = args[++i];
                known = true;
            }
        }
        for (const char* f : flags) {
            if (args[i] == f) {
                out[f].push_back('1');
                known = true;
            }
        }
        if (!known) Usage(usage);
    }
    return out;
}

long number(const std::string& text, const char* usage) {
    try {
        size_t used = 0;
        long v = std::stol(text, &used);
        if (used != text.size() || v < 0) Usage(usage);
        return v;
    } catch (const std::logic_error&) {
        Usage(usage);
    }
}

}  // namespace

int CreateCompany(const Args& args) {
    const char* usage = "kelvor create-company DIR [--customers N] [--seed S]";
    if (args.empty() || args[0].rfind("--", 0) == 0) Usage(usage);
    auto opt = options(args, 1, {"--customers", "--seed"}, {}, usage);
    queueengine::SampleOptions sample;
    if (opt.count("--customers"))
        sample.customers = static_cast<int>(number(opt["--customers"], usage));
    if (opt.count("--seed")) sample.seed = static_cast<uint64_t>(number(opt["--seed"], usage));
    queueengine::CompanyFiles f = queueengine::CreateCompany(args[0], sample);
    std::cout << "DT=" << f.dt << "\nCA=" << f.ca << "\nSO=" << f.so << "\nGL=" << f.gl << "\n";
    return 0;
}

int CreateInstallation(const Args& args) {
    const char* usage = "kelvor create-installation DIR [--companies N] [--customers N]";
    if (args.empty() || args[0].rfind("--", 0) == 0) Usage(usage);
    auto opt = options(args, 1, {"--companies", "--customers"}, {}, usage);
    wizard::InstallationOptions o;
    if (opt.count("--companies")) o.companies = static_cast<int>(number(opt["--companies"], usage));
    if (opt.count("--customers")) o.customers = static_cast<int>(number(opt["--customers"], usage));
    wizard::CreateInstallation(args[0], o);
    std::cout << "INSTALL=" << args[0] << "\nKELVOR_REGISTRY=" << args[0] << "/registry\n";
    return 0;
}

int ProcessQueue(const Args& args) {
    const char* usage = "kelvor process-queue --dt PATH --ca PATH [--so PATH]";
    auto opt = options(args, 0, {"--dt", "--ca", "--so"}, {}, usage);
    if (!opt.count("--dt") || !opt.count("--ca")) Usage(usage);
    queueengine::QueueEngine engine;
    int32_t lErr = 0;
    std::string sError;
    if (engine.ProcessQueue(opt["--dt"], opt["--ca"], opt["--so"], lErr, sError)) return 0;
    std::cout << lErr << "\n" << sError << "\n";
    std::cout.flush();
    throw Error(lErr, sError);
}

int Queue(const Args& args) {
    const char* usage = "kelvor queue show --dt PATH [--json]";
    if (args.empty() || args[0] != "show") Usage(usage);
    auto opt = options(args, 1, {"--dt"}, {"--json"}, usage);
    if (!opt.count("--dt")) Usage(usage);
    Database db = DBEngine().Workspaces(0).OpenDatabase(opt["--dt"]);
    Recordset rs = db.OpenRecordset(
        "SELECT CustID, LogID, TransType, Remark, EntryDate, EntryTime, FollowedUp FROM "
        "tblDTQueue ORDER BY CustID",
        dbOpenForwardOnly);
    if (opt.count("--json")) {
        PrintJsonLines(rs, std::cout);
    } else {
        PrintTable(rs, std::cout);
    }
    return 0;
}

}  // namespace kelvor::tool
