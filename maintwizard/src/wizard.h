// The maintenance wizard: its process-wide state, start-up and discovery, and the seams the
// tests use (message boxes, the end of the program).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "installation.h"
#include "kelvor/dao.h"
#include "model.h"

class QMessageBox;

namespace kelvor::wizard {

inline constexpr const char* kCaption =
    "Kelvor 4.1 Professional Edition Database Maintenance Wizard";
inline constexpr const char* kProgramDatabase = "Kelvor4PE.mde";
inline constexpr const char* kWorkgroupFile = "Kelvor2000.mdw";
inline constexpr const char* kInstallKey = "SOFTWARE\\Halvane\\Kelvor 4.1 PE\\InstallPath";
inline constexpr const char* kEnginesKey =
    "SOFTWARE\\Halvane\\Kelvor 4.1 PE\\4.10.000\\Jet\\4.0\\Engines";

extern std::string g_sInstallPath;
extern std::string g_sSystemDB;
extern Database g_dbProgram;
extern std::shared_ptr<CCompanies> g_oCompanies;
extern std::shared_ptr<CApplications> g_oApplications;
extern int16_t g_iAction;  // 0 repair only, 1 compact only, 2 repair and compact
extern std::string g_sCompID;
extern int32_t g_lLeft, g_lTop;
extern std::string g_sLocateProblem;
extern std::string g_sLocateFilter;
extern std::string g_sLocatedPath;

// Starts the wizard: discovery, then the company page. False when the program ends at once.
bool Main();
// Finds the installation and loads the companies; false after a reported failure. A direct
// repair ends the program before it returns (false).
bool DiscoverEnvironment();

// Message boxes: OK only, the wizard's whole caption, centred over the page in front (which
// owns it). Tests put a recorder in place of the box.
void MsgBox(const std::string& text);
// How the wizard tells of an error it trapped: "number-description".
std::string ErrorMessage(const Error& e);
std::unique_ptr<QMessageBox> MakeMessageBox(const std::string& text);
void SetMessageBoxHandler(std::function<void(const std::string&)> handler);
// Mouse pointer shapes: 0 default, 11 hourglass, 13 arrow and hourglass.
void SetPointer(int shape);
int Pointer();
// Ends the program: every page goes and the event loop stops. During a run, once the database
// in progress has taken its place (the run's Proceed handler comes back here then).
void EndProgram();
bool ProgramEnded();
// Back to the state of a program that has just started (for tests that run the wizard more
// than once in one process).
void ResetForTest();

// The paths the repair run makes from a file path: "/d/a.b.mdb" -> "/d/a_BK.b.mdb" and
// "/d/a.b.mdb_Old". Throws Error when the file name has no "." to split at.
std::string BackupName(const std::string& path);
std::string SetAsideName(const std::string& path);

}  // namespace kelvor::wizard
