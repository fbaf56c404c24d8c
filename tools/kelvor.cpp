// kelvor: the command-line program for people and scripts. One subcommand per job.
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "commands.h"
#include "kelvor/error.h"

namespace {

struct Command {
    int (*run)(const kelvor::tool::Args&);
    const char* usage;
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> c = {
        {"sql",
         {kelvor::tool::Sql,
          "kelvor sql [--json] DATABASE ['STATEMENT']   run Jet SQL (statements from standard "
          "input when none is given)\n"
          "  kelvor sql --create DATABASE                 create an empty database"}},
        {"link",
         {kelvor::tool::Link,
          "kelvor link DATABASE NAME SOURCE_DATABASE [SOURCE_TABLE]   link a table of another "
          "database"}},
        {"client",
         {kelvor::tool::Client,
          "kelvor client update-queue --dt P --ca P [--so P] [--async] | users --dt P | about | "
          "shell\n      drive KelvorSystemPE.Application as the front end does"}},
        {"compact",
         {kelvor::tool::Compact,
          "kelvor compact SOURCE DESTINATION   write a compacted copy of a database nobody has "
          "open"}},
        {"restore",
         {kelvor::tool::Restore,
          "kelvor restore BACKUP DATABASE   put a checked copy of a backup in place of a database "
          "nobody has open;\n      its old file and journal are set aside, one \"set aside: "
          "PATH\" line each"}},
        {"workgroup",
         {kelvor::tool::Workgroup,
          "kelvor workgroup create FILE | add-user [--raw] FILE USER | check [--raw] FILE USER\n"
          "      accounts of a workgroup file; passwords are read from standard input"}},
        {"reg",
         {kelvor::tool::Reg,
          "kelvor reg import FILE | kelvor reg query KEY [VALUE]   the registry "
          "($KELVOR_REGISTRY)"}},
        {"create-company",
         {kelvor::tool::CreateCompany,
          "kelvor create-company DIR [--customers N] [--seed S]   a company's DT, CA, SO and GL "
          "databases"}},
        {"create-installation",
         {kelvor::tool::CreateInstallation,
          "kelvor create-installation DIR [--companies N] [--customers N]   a sample "
          "installation for the wizard"}},
        {"process-queue",
         {kelvor::tool::ProcessQueue,
          "kelvor process-queue --dt PATH --ca PATH [--so PATH]   rebuild the work queue in "
          "this process"}},
        {"report",
         {kelvor::tool::Report,
          "kelvor report --dt PATH [--ca PATH] [--out FILE] [--json] [--today YYYY-MM-DD]\n"
          "      the work queue's figures as one self-contained HTML page (or JSON)"}},
        {"queue",
         {kelvor::tool::Queue, "kelvor queue show --dt PATH [--json]   print the work queue"}},
        {"schedule",
         {kelvor::tool::Schedule,
          "kelvor schedule add --dt P --ca P [--so P] --at HH:MM[,HH:MM...] [--name NAME] "
          "[--force] [--system --account USER]\n"
          "      | list [--system] | remove NAME [--system]   queue updates at set times (systemd "
          "timers)"}},
        {"session",
         {kelvor::tool::Session,
          "kelvor session -- COMMAND...   run a command under a private session bus on which "
          "the Kelvor servers start on demand"}},
        {"users",
         {kelvor::tool::Users,
          "kelvor users DATABASE   list the connections open on a database (workstation, tab, "
          "user)"}},
    };
    return c;
}

void printHelp(std::ostream& out) {
    out << "usage:\n";
    for (const auto& [name, cmd] : commands()) out << "  " << cmd.usage << "\n";
}

// One line: the description may hold line breaks.
std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

}  // namespace

namespace kelvor::tool {
void Usage(const std::string& text) {
    throw Error(err::kInvalidProcedureCall, "usage: " + text);
}

void PrintError(int32_t number, const std::string& description) {
    std::cerr << "error " << number << ": " << oneLine(description) << "\n";
}
}  // namespace kelvor::tool

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (argc < 2) {
        printHelp(std::cerr);
        return 1;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        printHelp(std::cout);
        return 0;
    }
    auto it = commands().find(name);
    if (it == commands().end()) {
        std::cerr << "error " << kelvor::err::kInvalidProcedureCall << ": unknown command '" << name
                  << "' (kelvor --help lists them)\n";
        return 1;
    }
    kelvor::tool::Args args(argv + 2, argv + argc);
    try {
        int rc = it->second.run(args);
        std::cout.flush();
        return rc;
    } catch (const kelvor::Error& e) {
        std::cout.flush();
        kelvor::tool::PrintError(e.number(), e.description());
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        kelvor::tool::PrintError(kelvor::err::kInvalidProcedureCall, e.what());
        return 1;
    }
}
