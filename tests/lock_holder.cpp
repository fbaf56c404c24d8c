// A second user for the tests: a separate process that opens a database and obeys one
// command per line on standard input, answering "ok" or "error NUMBER" on standard output.
//   become UID GID G   run as another account from now on, with G as its one other group
//                      (before open; the tests run as root)
//   open PATH          open a database
//   read TABLE         read every row of TABLE
//   deny TABLE         open TABLE with a deny-write lock and keep the recordset open
//   release TABLE      close that recordset
//   append TABLE       add an empty row to TABLE
//   hold TABLE         open TABLE append-only and keep it open (as a logged-on session does)
//   addnew TABLE       AddNew and CancelUpdate on the held recordset of TABLE
//   users PATH         print the workstation names the roster lists, comma-separated
//   begin | commit | rollback    the workspace's transaction
//   exec N SQL         run SQL on the Nth database opened (from 0)
//   faults             put the fault-injecting file layer under every later connection
//   crash OP N         end the process at the Nth write or sync from now (OP: write, sync)
//   counts             print the writes, syncs and truncates since the last crash command
#include <grp.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fault_vfs.h"
#include "kelvor/dao.h"
#include "kelvor/roster.h"

using namespace kelvor;

int main() {
    Database db;
    std::vector<Database> opened;
    std::unique_ptr<test::FaultVfs> faults;
    std::map<std::string, Recordset> held;
    std::string line;
    std::cout << "ready" << std::endl;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, arg;
        in >> cmd;
        std::getline(in >> std::ws, arg);
        try {
            if (cmd == "become") {
                unsigned uid = 0, gid = 0, group = 0;
                std::istringstream(arg) >> uid >> gid >> group;
                gid_t groups[] = {group};
                bool ok = ::setgroups(1, groups) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0;
                std::cout << (ok ? "ok" : "error 0") << std::endl;
                continue;
            } else if (cmd == "open") {
                db = DBEngine().Workspaces(0).OpenDatabase(arg);
                opened.push_back(db);
            } else if (cmd == "begin") {
                DBEngine().BeginTrans();
            } else if (cmd == "commit") {
                DBEngine().CommitTrans();
            } else if (cmd == "rollback") {
                DBEngine().Rollback();
            } else if (cmd == "exec") {
                size_t space = arg.find(' ');
                opened.at(std::stoul(arg.substr(0, space))).Execute(arg.substr(space + 1));
            } else if (cmd == "faults") {
                faults = std::make_unique<test::FaultVfs>();
            } else if (cmd == "crash") {
                size_t space = arg.find(' ');
                faults->armCrash(arg.substr(0, space) == "sync" ? test::FaultVfs::Op::Sync
                                                                : test::FaultVfs::Op::Write,
                                 std::stoi(arg.substr(space + 1)));
            } else if (cmd == "counts") {
                using Op = test::FaultVfs::Op;
                std::cout << faults->count(Op::Write) << " " << faults->count(Op::Sync) << " "
                          << faults->count(Op::Truncate) << std::endl;
                continue;
            } else if (cmd == "read") {
                for (Recordset rs = db.OpenRecordset(arg, dbOpenSnapshot); !rs.EOF_();)
                    rs.MoveNext();
            } else if (cmd == "deny") {
                held[arg] = db.OpenRecordset(arg, dbOpenDynaset, dbDenyWrite);
            } else if (cmd == "release") {
                held.erase(arg);
            } else if (cmd == "append") {
                Recordset rs = db.OpenRecordset(arg, dbOpenDynaset, dbAppendOnly);
                rs.AddNew();
                rs.Update();
            } else if (cmd == "hold") {
                held[arg] = db.OpenRecordset(arg, dbOpenDynaset, dbAppendOnly);
            } else if (cmd == "addnew") {
                held.at(arg).AddNew();
                held.at(arg).CancelUpdate();
            } else if (cmd == "users") {
                std::vector<std::string> names;
                int n = LDBUser_GetUsers(names, arg, kRosterConnectedUsers);
                std::string out = std::to_string(n);
                for (const auto& name : names) out += "," + name;
                std::cout << out << std::endl;
                continue;
            } else {
                std::cout << "error 0" << std::endl;
                continue;
            }
            std::cout << "ok" << std::endl;
        } catch (const JetError& e) {
            std::cout << "error " << e.number() << std::endl;
        }
    }
    return 0;
}
