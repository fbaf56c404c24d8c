// kelvor create-company, process-queue and queue show.
#include <iostream>
#include <map>
#include <stdexcept>

#include "commands.h"
#include "installation.h"
#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "output.h"
#include "progress.h"

namespace kelvor::tool {

namespace {

// --name VALUE options; anything else is a usage error.
std::map<std::string, std::string> options(const Args& args, size_t from,
                                           std::initializer_list<const char*> valued,
                                           std::initializer_list<const char*> flags) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < args.size(); ++i) {
        bool known = false;
        for (const char* v : valued) {
            if (args[i] == v) {
                if (i + 1 >= args.size()) Usage();
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
        if (!known) Usage();
    }
    return out;
}

long number(const std::string& text) {
    try {
        size_t used = 0;
        long v = std::stol(text, &used);
        if (used != text.size() || v < 0) Usage();
        return v;
    } catch (const std::logic_error&) {
        Usage();
    }
}

}  // namespace

int CreateCompany(const Args& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) Usage();
    auto opt = options(args, 1, {"--customers", "--seed"}, {});
    queueengine::SampleOptions sample;
    if (opt.count("--customers")) sample.customers = static_cast<int>(number(opt["--customers"]));
    if (opt.count("--seed")) sample.seed = static_cast<uint64_t>(number(opt["--seed"]));
    queueengine::CompanyFiles f;
    {
        // The progress line goes before the paths are printed.
        Progress progress("Creating " + args[0]);
        sample.progress = [&](int done, int total) {
            progress.report([&] {
                return std::to_string(done) + " of " + std::to_string(total) + " customers";
            });
        };
        f = queueengine::CreateCompany(args[0], sample);
    }
    std::cout << "DT=" << f.dt << "\nCA=" << f.ca << "\nSO=" << f.so << "\nGL=" << f.gl << "\n";
    return 0;
}

int CreateInstallation(const Args& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) Usage();
    auto opt = options(args, 1, {"--companies", "--customers", "--server"}, {});
    wizard::InstallationOptions o;
    if (opt.count("--server")) o.server = opt["--server"];
    if (opt.count("--companies")) o.companies = static_cast<int>(number(opt["--companies"]));
    if (opt.count("--customers")) o.customers = static_cast<int>(number(opt["--customers"]));
    wizard::CreateInstallation(args[0], o);
    std::cout << "INSTALL=" << args[0] << "\nKELVOR_REGISTRY=" << args[0] << "/registry\n";
    return 0;
}

int ProcessQueue(const Args& args) {
    auto opt = options(args, 0, {"--dt", "--ca", "--so"}, {});
    if (!opt.count("--dt") || !opt.count("--ca")) Usage();
    int32_t lErr = 0;
    std::string sError;
    {
        // The progress line goes before anything else is printed.
        queueengine::QueueEngine engine;
        Progress progress("Updating the work queue");
        engine.SetProgress([&](const queueengine::RunProgress& at) {
            progress.report([&] {
                return "step " + std::to_string(at.step) + " of " + std::to_string(at.steps) +
                       ", " + at.name +
                       (at.rows ? ", " + std::to_string(at.rows) + " customers" : "");
            });
        });
        if (engine.ProcessQueue(opt["--dt"], opt["--ca"], opt["--so"], lErr, sError)) return 0;
    }
    std::cout << lErr << "\n" << sError << "\n";
    std::cout.flush();
    throw Error(lErr, sError);
}

int Queue(const Args& args) {
    if (args.empty() || args[0] != "show") Usage();
    auto opt = options(args, 1, {"--dt"}, {"--json"});
    if (!opt.count("--dt")) Usage();
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
