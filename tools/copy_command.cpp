// kelvor copy: a database, or a company's four, copied to new ones on any engine and checked.
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "kelvor/copy.h"
#include "kelvor/error.h"
#include "kelvor/server.h"
#include "progress.h"

namespace kelvor::tool {

namespace {

struct Company {
    std::string dt, ca, so, gl;
};

// A company's databases as create-company names them: DIR/DT.mdb ..., or the schemas
// NAME_dt ... beside a server path's schema NAME.
Company companyAt(const std::string& dirOrServer) {
    if (NamesServerDatabase(dirOrServer))
        return {dirOrServer + "_dt", dirOrServer + "_ca", dirOrServer + "_so", dirOrServer + "_gl"};
    std::string base = std::filesystem::absolute(dirOrServer).lexically_normal().string();
    if (base.size() > 1 && base.back() == '/') base.pop_back();
    return {base + "/DT.mdb", base + "/CA.mdb", base + "/SO.mdb", base + "/GL.mdb"};
}

std::string progressText(const CopyProgress& p) {
    return std::string(p.checking ? "checking" : "copying") + ", " + std::to_string(p.tablesDone) +
           " of " + std::to_string(p.tables) + " tables, " + std::to_string(p.rowsDone) + " of " +
           std::to_string(p.rows) + " rows";
}

}  // namespace

int Copy(const Args& args) {
    const bool company = !args.empty() && args[0] == "--company";
    const size_t first = company ? 1 : 0;
    if (args.size() != first + 2 || args[first].rfind("--", 0) == 0 ||
        args[first + 1].rfind("--", 0) == 0)
        Usage();
    const std::string& source = args[first];
    const std::string& destination = args[first + 1];
    std::vector<std::pair<std::string, std::string>> pairs;
    Company to;
    bool madeDir = false;
    if (company) {
        const Company from = companyAt(source);
        to = companyAt(destination);
        pairs = {{from.dt, to.dt}, {from.ca, to.ca}, {from.so, to.so}, {from.gl, to.gl}};
        if (!NamesServerDatabase(destination)) {
            std::error_code ec;
            madeDir = std::filesystem::create_directories(destination, ec);
            if (ec) throw Error::make(err::kInvalidPath, destination);
        }
    } else {
        pairs = {{source, destination}};
    }
    try {
        // The progress line goes before the paths are printed.
        Progress progress("Copying " + source);
        CopyOptions options;
        options.progress = [&](const CopyProgress& p) {
            progress.report([&] { return progressText(p); });
        };
        CopyDatabases(pairs, options);
    } catch (...) {
        std::error_code ec;
        if (madeDir) std::filesystem::remove(destination, ec);
        throw;
    }
    if (company)
        std::cout << "DT=" << to.dt << "\nCA=" << to.ca << "\nSO=" << to.so << "\nGL=" << to.gl
                  << "\n";
    return 0;
}

}  // namespace kelvor::tool
