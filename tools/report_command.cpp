// kelvor report: the work queue's figures as one HTML page or one JSON document.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "commands.h"
#include "kelvor/dao.h"
#include "report/report_figures.h"
#include "report/report_render.h"

namespace kelvor::tool {

namespace {

// Written beside the destination and renamed over it, so that a reader never sees half a report
// and a failure leaves the old one in place.
void writeFile(const std::string& path, const std::string& text) {
    std::string tmp = path + ".kelvor-tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            throw Error(err::kPathFileAccessError, "cannot write " + path);
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
        throw Error(err::kPathFileAccessError, "cannot write " + path + ": " + ec.message());
    }
}

}  // namespace

int Report(const Args& args) {
    std::map<std::string, std::string> opt;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if ((a == "--dt" || a == "--ca" || a == "--out" || a == "--today") &&
                   i + 1 < args.size() && !opt.count(a)) {
            opt[a] = args[++i];
        } else {
            Usage();
        }
    }
    if (!opt.count("--dt")) Usage();
    Date today = Date::today();
    if (opt.count("--today")) {
        const std::string& t = opt["--today"];
        if (t.size() != 10 || t[4] != '-' || t[7] != '-') Usage();
        today = Date::parse(t);
    }

    Workspace ws = DBEngine().Workspaces(0);
    Database dt = ws.OpenDatabase(opt["--dt"]);
    Database ca;
    if (opt.count("--ca")) {
        // The figures come through DT's links, as the rules read them; a CA named on the
        // command line must be the one they lead to, or the report would not show that company.
        ca = ws.OpenDatabase(opt["--ca"]);
        std::string linked = dt.TableDefs("tblCaClientHist").Connect();
        const std::string prefix = ";DATABASE=";
        if (linked.rfind(prefix, 0) == 0) linked = linked.substr(prefix.size());
        std::error_code ec;
        if (!std::filesystem::equivalent(linked, opt["--ca"], ec))
            throw Error(err::kInvalidArgument, "the Customer Accounts tables of " + opt["--dt"] +
                                                   " are not those of " + opt["--ca"]);
    }
    report::Figures figures = report::Compute(dt, today);
    std::string text =
        json ? report::RenderJson(figures, dt.Name()) : report::RenderHtml(figures, dt.Name());
    if (opt.count("--out")) {
        writeFile(opt["--out"], text);
    } else {
        std::cout << text;
    }
    return 0;
}

}  // namespace kelvor::tool
