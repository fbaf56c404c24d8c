// The subcommands of the `kelvor` program. Each takes the arguments after its name and returns
// the exit status; a failure is thrown as kelvor::Error and printed by main as
// "error NUMBER: DESCRIPTION".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvor::tool {

using Args = std::vector<std::string>;

int Sql(const Args& args);
int Link(const Args& args);
int Users(const Args& args);
int Compact(const Args& args);
int Copy(const Args& args);
int Restore(const Args& args);
int Workgroup(const Args& args);
int Reg(const Args& args);
int CreateCompany(const Args& args);
int CreateInstallation(const Args& args);
int ProcessQueue(const Args& args);
int Queue(const Args& args);
int Report(const Args& args);
int Session(const Args& args);
int Client(const Args& args);
int Schedule(const Args& args);

// A usage error (err::kInvalidProcedureCall) of the subcommand running: "error 5: usage: " and
// its usage from the table of subcommands (kelvor.cpp).
[[noreturn]] void Usage();
// "error NUMBER: DESCRIPTION" on standard error, the description on one line.
void PrintError(int32_t number, const std::string& description);

}  // namespace kelvor::tool
