// kelvor: the command-line program for people and scripts. One subcommand per job.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "commands.h"
#include "kelvor/error.h"
#include "kelvor/manual.h"
#include "progress.h"

namespace {

// A subcommand: how it is called (one way per line, each beginning "kelvor NAME") and what it
// does. This table is the one place of both: usage errors, `kelvor help NAME`, `kelvor --help`
// and the manual page print them from here.
struct Command {
    int (*run)(const kelvor::tool::Args&);
    const char* usage;
    const char* about = "";
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> c = {
        {"sql",
         {kelvor::tool::Sql,
          "kelvor sql [--json] DATABASE ['STATEMENT']\n"
          "kelvor sql --create DATABASE",
          "Runs a Jet SQL statement on DATABASE and prints the rows it gives as a table, or as "
          "JSON Lines with --json. Without STATEMENT it runs one statement per line of standard "
          "input and goes on after a failure. --create makes an empty database."}},
        {"link",
         {kelvor::tool::Link, "kelvor link DATABASE NAME SOURCE_DATABASE [SOURCE_TABLE]",
          "Links the table SOURCE_TABLE (by default NAME) of SOURCE_DATABASE into DATABASE as "
          "NAME."}},
        {"client",
         {kelvor::tool::Client,
          "kelvor client update-queue --dt PATH --ca PATH [--so PATH] [--async]\n"
          "kelvor client users --dt PATH\n"
          "kelvor client about\n"
          "kelvor client shell",
          "Drives KelvorSystemPE.Application on the session bus as the front end does: logs on "
          "and updates the work queue (in the background with --async, waiting for its end), "
          "lists the workstations connected to a DT database, shows the About box, or answers "
          "one call per line of standard input with a JSON object (shell)."}},
        {"compact",
         {kelvor::tool::Compact, "kelvor compact SOURCE DESTINATION",
          "Writes a compacted, checked copy of SOURCE, which nobody may have open, to "
          "DESTINATION, which must not exist. Ctrl-C stops it and leaves no file behind. A "
          "database on a PostgreSQL server (postgresql://HOST/DB#SCHEMA or pg:...#SCHEMA) is "
          "compacted in place, table by table: give it alone, or as both SOURCE and "
          "DESTINATION."}},
        {"copy",
         {kelvor::tool::Copy,
          "kelvor copy SOURCE DESTINATION\n"
          "kelvor copy --company SOURCE DESTINATION",
          "Copies the database SOURCE to DESTINATION, which must not exist, between files and "
          "PostgreSQL servers (pg:...#schema or postgresql://...#schema) either way: every "
          "table with its fields, key and indexes, every record (counters go on after the "
          "highest value copied), the links, saved queries and guards. The copy is then checked "
          "record for record against its source. With --company SOURCE and DESTINATION are "
          "what create-company takes (a folder, or a server path ending in #NAME): the four "
          "databases are copied, the DT database's links name the copy's CA database, and the "
          "new paths are printed as DT=, CA=, SO= and GL= lines. A failure or Ctrl-C removes "
          "what was made."}},
        {"restore",
         {kelvor::tool::Restore, "kelvor restore BACKUP DATABASE",
          "Puts a checked copy of BACKUP in place of DATABASE, which nobody may have open. The "
          "old file and its journal are set aside, with one \"set aside: PATH\" line each."}},
        {"workgroup",
         {kelvor::tool::Workgroup,
          "kelvor workgroup create FILE\n"
          "kelvor workgroup add-user [--raw] FILE USER\n"
          "kelvor workgroup check [--raw] FILE USER",
          "Creates a workgroup information file (account Admin, empty password), adds an "
          "account to one, or checks an account's password (exit status 0 when it is right). "
          "Passwords are read from standard input without one final line break; --raw takes "
          "every byte."}},
        {"reg",
         {kelvor::tool::Reg,
          "kelvor reg import FILE\n"
          "kelvor reg query KEY [VALUE]",
          "Merges a .reg file into the registry, or prints a key's values (or the one named). "
          "The registry is the folder $KELVOR_REGISTRY, else /etc/kelvor/registry."}},
        {"create-company",
         {kelvor::tool::CreateCompany, "kelvor create-company DIR [--customers N] [--seed S]",
          "Creates DIR when it is missing and in it a company's DT, CA, SO and GL databases, "
          "with N customers of varied data (the same S gives the same data), and prints their "
          "paths as DT=, CA=, SO= and GL= lines for the shell's eval. Ctrl-C stops it and "
          "removes the databases it made."}},
        {"create-installation",
         {kelvor::tool::CreateInstallation,
          "kelvor create-installation DIR [--companies N] [--customers N] [--server PATH]",
          "Creates a sample installation for the maintenance wizard: a registry, a workgroup "
          "file, the program database and N companies; prints INSTALL= and KELVOR_REGISTRY= "
          "lines. With --server, the companies' databases are schemas on that PostgreSQL "
          "server (PATH#NAME gives NAME_c01_dt, ...), and their file rows name them."}},
        {"process-queue",
         {kelvor::tool::ProcessQueue, "kelvor process-queue --dt PATH --ca PATH [--so PATH]",
          "Rebuilds a company's work queue in this process, in one transaction. Prints nothing "
          "on success; on failure it prints lErr and sError on two lines. Ctrl-C rolls the "
          "update back."}},
        {"queue",
         {kelvor::tool::Queue, "kelvor queue show --dt PATH [--json]",
          "Prints the work queue of a DT database as a table, or as JSON Lines with --json."}},
        {"report",
         {kelvor::tool::Report,
          "kelvor report --dt PATH [--ca PATH] [--out FILE] [--json] [--today YYYY-MM-DD]",
          "Writes the work queue's figures as one self-contained HTML page (charts and tables, "
          "no network or external file), or as one JSON document with --json, to FILE or to "
          "standard output. Reads the databases in one read transaction and never writes. "
          "--today sets the day the entries' ages count from."}},
        {"schedule",
         {kelvor::tool::Schedule,
          "kelvor schedule add --dt PATH --ca PATH [--so PATH] --at HH:MM[,HH:MM...] "
          "[--name NAME] [--force] [--system --account USER]\n"
          "kelvor schedule list [--system]\n"
          "kelvor schedule remove NAME [--system]\n"
          "kelvor schedule run --dt PATH --ca PATH [--so PATH]",
          "Installs, lists or removes queue updates at set times of day, as a systemd timer and "
          "service per schedule (the user's own, or with --system for a service account). Each "
          "run goes through the servers on a private bus, so the cross-user lock holds, and "
          "writes one outcome line to the journal. run is what such a service runs: one "
          "background update through the servers, waited for."}},
        {"session",
         {kelvor::tool::Session, "kelvor session -- COMMAND [ARGUMENT...]",
          "Runs COMMAND under a private session bus on which the Kelvor servers start on "
          "demand, from the build tree or from the installation, and exits with its status."}},
        {"users",
         {kelvor::tool::Users, "kelvor users DATABASE",
          "Lists the connections open on DATABASE, one line each: workstation, a tab, user "
          "name."}},
    };
    return c;
}

// The whole manual: the commands from the table, the rest said once here.
kelvor::manual::Page manualPage() {
    kelvor::manual::Page p;
    p.program = "kelvor";
    p.summary = "the command line of Kelvor, the debt-collection work queue";
    p.synopsis = {"kelvor COMMAND [ARGUMENT...]", "kelvor help [COMMAND]", "kelvor COMMAND --help",
                  "kelvor --version"};
    p.sections.push_back(
        {"DESCRIPTION",
         {"kelvor makes sample companies, rebuilds and shows a company's work queue, runs Jet "
          "SQL on the databases, compacts and restores them, keeps workgroup files and the "
          "registry, and drives the application server on the D-Bus session bus as the front "
          "end does.",
          "Dates print as YYYY-MM-DD HH:MM:SS in tables, a date at midnight as YYYY-MM-DD and a "
          "time of day alone as HH:MM:SS; JSON output always has YYYY-MM-DD HH:MM:SS.",
          "Long work (compact, copy, create-company, process-queue) shows its progress on standard "
          "error when that is a terminal. Ctrl-C stops it cleanly: nothing half-written stays "
          "behind and an update is rolled back."},
         {}});
    kelvor::manual::Section cmds{"COMMANDS", {}, {}};
    for (const auto& [name, cmd] : commands()) cmds.items.push_back({cmd.usage, cmd.about});
    p.sections.push_back(cmds);
    p.sections.push_back(
        {"ENVIRONMENT",
         {},
         {{"KELVOR_REGISTRY", "The registry folder (default /etc/kelvor/registry)."},
          {"KELVOR_STATE_DIR",
           "Where workspaces keep their scratch databases (default /var/tmp/kelvor-UID)."},
          {"KELVOR_BUSY_TIMEOUT_MS",
           "How long a write waits for another program's lock on a file (default 5000)."},
          {"KELVOR_SERVICE_DIR",
           "The D-Bus service files kelvor session uses (default: beside the program)."}}});
    p.sections.push_back(
        {"EXIT STATUS",
         {"0 on success. 1 on failure, with \"error NUMBER: DESCRIPTION\" on standard error; "
          "wrong usage is error 5. After Ctrl-C the program ends by the interrupt signal, once "
          "it has cleaned up (\"error 18: User interrupt occurred\")."},
         {}});
    p.sections.push_back(
        {"SEE ALSO", {"KelvorQueuePE(1), KelvorSystemPE(1), Kelvor41PERepair(1)"}, {}});
    return p;
}

// The ways of calling a command on one line, joined by " | ", for a usage error.
std::string oneLineUsage(const Command& cmd) {
    std::string s = cmd.usage;
    for (size_t i; (i = s.find('\n')) != std::string::npos;) s.replace(i, 1, " | ");
    return s;
}

void printCommandHelp(const Command& cmd) {
    std::string usage = cmd.usage;
    for (size_t i = 0; (i = usage.find('\n', i)) != std::string::npos; i += 8)
        usage.replace(i, 1, "\n       ");
    std::cout << "usage: " << usage << "\n";
    if (*cmd.about) std::cout << "\n" << kelvor::manual::Wrap(cmd.about, 2);
}

const Command* g_current = nullptr;

// One line: the description may hold line breaks.
std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

int usageError(const std::string& usage) {
    std::cerr << "error " << kelvor::err::kInvalidProcedureCall << ": usage: " << usage << "\n";
    return 1;
}

int unknownCommand(const std::string& name) {
    std::cerr << "error " << kelvor::err::kInvalidProcedureCall << ": unknown command '" << name
              << "' (kelvor help lists them)\n";
    return 1;
}

// `kelvor NAME ... --help`: before a "--", whose followers belong to another program.
bool asksForHelp(const kelvor::tool::Args& args) {
    for (const auto& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

}  // namespace

namespace kelvor::tool {
void Usage() {
    throw Error(err::kInvalidProcedureCall,
                "usage: " + (g_current ? oneLineUsage(*g_current) : std::string("kelvor help")));
}

void PrintError(int32_t number, const std::string& description) {
    std::cerr << "error " << number << ": " << oneLine(description) << "\n";
}
}  // namespace kelvor::tool

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (argc < 2) return usageError("kelvor COMMAND [ARGUMENT...] (kelvor help lists them)");
    std::string name = argv[1];
    if (name == "--version" || name == "--manual-page" || name == "-h" || name == "--help") {
        if (argc != 2) return usageError("kelvor " + name);
        std::string text = name == "--version"       ? "kelvor " KELVOR_VERSION "\n"
                           : name == "--manual-page" ? kelvor::manual::Troff(manualPage())
                                                     : kelvor::manual::Text(manualPage());
        std::cout << text;
        return std::cout.flush() ? 0 : 1;
    }
    if (name == "help") {
        if (argc > 3) return usageError("kelvor help [COMMAND]");
        if (argc == 2) {
            std::cout << kelvor::manual::Text(manualPage());
            return std::cout.flush() ? 0 : 1;
        }
        auto it = commands().find(argv[2]);
        if (it == commands().end()) return unknownCommand(argv[2]);
        printCommandHelp(it->second);
        return std::cout.flush() ? 0 : 1;
    }
    auto it = commands().find(name);
    if (it == commands().end()) return unknownCommand(name);
    g_current = &it->second;
    kelvor::tool::Args args(argv + 2, argv + argc);
    if (asksForHelp(args)) {
        printCommandHelp(it->second);
        return std::cout.flush() ? 0 : 1;
    }
    int rc = 1;
    try {
        rc = it->second.run(args);
    } catch (const kelvor::Error& e) {
        std::cout.flush();
        kelvor::tool::PrintError(e.number(), e.description());
    } catch (const std::exception& e) {
        std::cout.flush();
        kelvor::tool::PrintError(kelvor::err::kInvalidProcedureCall, e.what());
    }
    std::cout.flush();
    // Stopped by Ctrl-C, and cleaned up: end as the interrupt would have ended the program, so
    // that the shell (and a script's loop) sees an interrupt, not an ordinary failure.
    if (kelvor::tool::Interrupted()) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
    return rc;
}
