#include "wizard.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QTimer>

#include "kelvor/error.h"
#include "kelvor/registry.h"
#include "kelvor/server.h"
#include "mod_globals.h"
#include "pages.h"

namespace kelvor::wizard {

std::string g_sInstallPath;
std::string g_sSystemDB;
Database g_dbProgram;
std::shared_ptr<CCompanies> g_oCompanies = std::make_shared<CCompanies>();
std::shared_ptr<CApplications> g_oApplications = std::make_shared<CApplications>();
int16_t g_iAction = 0;
std::string g_sCompID;
int32_t g_lLeft = 0, g_lTop = 0;
std::string g_sLocateProblem;
std::string g_sLocateFilter;
std::string g_sLocatedPath;

namespace {

std::function<void(const std::string&)> g_messageHandler;
int g_pointer = 0;
bool g_ended = false;

bool isDamaged(int number) {
    return number == err::kSystemDbUnopenable || number == err::kUnrecognizedFormat ||
           number == err::kWorkgroupUnopenable;
}

std::string joinPath(const std::string& dir, const std::string& file) {
    return dir + "/" + file;
}

// A company file row's database: the folder and the file name, or for a database on a server,
// the server's path and the schema ("postgresql://host/acme" and "dt"), or the whole server
// path with no file name.
std::string rowPath(const std::string& path, const std::string& file) {
    if (!NamesServerDatabase(path)) return joinPath(path, file);
    return file.empty() ? path : path + "#" + file;
}

// A text between double quotes in Jet SQL: a double quote inside it is written twice.
std::string jetText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// Opens a repaired workgroup file ("WIF") or program database as start-up opens it: the
// workspace as "System" with the workgroup file, and the program database in it. Throws
// Error as start-up would have met it.
void openAsStartUp(const std::string& code, const std::string& path, const std::string& systemDb) {
    DBEngine().SystemDB(code == "WIF" ? path : systemDb);
    try {
        Workspace ws = DBEngine().CreateWorkspace("temporary", "System", kSystemPassword);
        if (code != "WIF") ws.OpenDatabase(path).Close();
        ws.Close();
    } catch (const Error&) {
        DBEngine().SystemDB("");
        throw;
    }
    DBEngine().SystemDB("");
}

// The repair page on its own, for a workgroup file or program database that cannot be read:
// the file start-up tried, be it the registry's or one the user located.
void directRepair(const std::string& code, const std::string& path, const std::string& desc) {
    g_iAction = 2;
    g_oApplications = std::make_shared<CApplications>();
    g_oApplications->Add(code, path, desc, "Pending");
    std::string systemDb = DBEngine().SystemDB();
    DBEngine().SystemDB("");
    auto* backdrop = Page<frmWizSelectCompany>();
    backdrop->showPage();
    auto* repair = Page<frmWizRepair>();
    repair->btnBack->hide();
    // A file that still does not open after its repair is "Failed": the next start would fail
    // on it the same way.
    repair->reopen = [code, systemDb](const std::string& repaired) {
        openAsStartUp(code, repaired, systemDb);
    };
    repair->showModal(backdrop);
    EndProgram();
}

// The page in front, which a message box belongs to: a modal page (locate, direct repair)
// before the page it stands over.
QWidget* frontPage() {
    if (QWidget* w = QApplication::activeModalWidget()) return w;
    WizardPage* pages[] = {LoadedPage<frmWizLocateFiles>(), LoadedPage<frmWizRepair>(),
                           LoadedPage<frmWizSelectAction>(), LoadedPage<frmWizSelectApp>(),
                           LoadedPage<frmWizSelectCompany>()};
    for (WizardPage* p : pages)
        if (p && p->isVisible()) return p;
    return nullptr;
}

// Shows the locate page over the company page until a path is given.
void locate(bool ownerEveryTime) {
    auto* backdrop = Page<frmWizSelectCompany>();
    backdrop->showPage();
    Page<frmWizLocateFiles>()->showModal(backdrop);
    while (g_sLocatedPath.empty() && !ProgramEnded())
        Page<frmWizLocateFiles>()->showModal(ownerEveryTime ? backdrop : nullptr);
    UnloadPage<frmWizSelectCompany>();
}

}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(const std::string& text) {
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::NoIcon, kCaption, QString::fromStdString(text), QMessageBox::Ok, frontPage());
    // A box narrower than its caption gets the caption cut short on its title bar. It is made
    // as wide as the caption in a bold face, with room for the title bar's buttons.
    QFont title = box->font();
    title.setBold(true);
    int wide = QFontMetrics(title).horizontalAdvance(kCaption) + 120;
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(wide, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box;
}

void MsgBox(const std::string& text) {
    if (g_messageHandler) {
        g_messageHandler(text);
        return;
    }
    MakeMessageBox(text)->exec();
}

std::string ErrorMessage(const Error& e) {
    return std::to_string(e.number()) + "-" + e.description();
}

void SetMessageBoxHandler(std::function<void(const std::string&)> handler) {
    g_messageHandler = std::move(handler);
}

void SetPointer(int shape) {
    if (!qApp) return;
    if (shape == 0) {
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    } else {
        QCursor c(shape == 11 ? Qt::WaitCursor : Qt::BusyCursor);
        if (QApplication::overrideCursor()) {
            QApplication::changeOverrideCursor(c);
        } else {
            QApplication::setOverrideCursor(c);
        }
    }
    g_pointer = shape;
}

int Pointer() {
    return g_pointer;
}

void EndProgram() {
    if (g_ended) return;
    // A run finishes the database in progress first; its Proceed handler ends the program then.
    if (auto* run = LoadedPage<frmWizRepair>(); run && run->running()) {
        run->stopAfterThisDatabase();
        return;
    }
    g_ended = true;
    SetPointer(0);
    UnloadAllPages();
    QCoreApplication::exit(0);
}

bool ProgramEnded() {
    return g_ended;
}

void ResetForTest() {
    UnloadAllPages();
    // EndProgram asked the application to exit; with no event loop running Qt keeps that
    // request and the next loop would end at once. One loop that ends itself takes it.
    if (g_ended && QCoreApplication::instance()) {
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }
    g_ended = false;
    g_sInstallPath.clear();
    g_sSystemDB.clear();
    g_dbProgram = Database();
    g_oCompanies = std::make_shared<CCompanies>();
    g_oApplications = std::make_shared<CApplications>();
    g_iAction = 0;
    g_sCompID.clear();
    g_lLeft = g_lTop = 0;
    g_sLocateProblem.clear();
    g_sLocateFilter.clear();
    g_sLocatedPath.clear();
    DBEngine().SystemDB("");
    SetPointer(0);
}

std::string BackupName(const std::string& path) {
    std::string dir = GetDirPart(path), file = GetFilePart(path);
    auto dot = file.find('.');
    if (dot == std::string::npos)
        throw Error(err::kInvalidProcedureCall,
                    Error::messageFor(err::kInvalidProcedureCall) + ": '" + file +
                        "' has no extension to put the backup mark before");
    return dir + "/" + file.substr(0, dot) + "_BK" + "." + file.substr(dot + 1);
}

std::string SetAsideName(const std::string& path) {
    return path + "_Old";
}

bool DiscoverEnvironment() {
    SetPointer(11);
    int32_t lErr = 0;
    std::string sError;
    g_sInstallPath = GenRegReadValue(HKEY_LOCAL_MACHINE, kInstallKey, "", lErr, sError);
    g_sSystemDB = GenRegReadValue(HKEY_LOCAL_MACHINE, kEnginesKey, "SYSTEMDB", lErr, sError);
    DBEngine().SystemDB(g_sSystemDB);

    // The workgroup file.
    Workspace ws;
    for (;;) {
        try {
            ws = DBEngine().CreateWorkspace("temporary", "System", kSystemPassword);
            break;
        } catch (const Error& e) {
            MsgBox(ErrorMessage(e) + "(" + kWorkgroupFile + ")");
            if (isDamaged(e.number())) {
                directRepair("WIF", DBEngine().SystemDB(), "Workgroup Information File");
                return false;
            }
            g_sLocateProblem = std::string("Problem locating the Workgroup Information File ") +
                               kWorkgroupFile + " !";
            g_sLocateFilter = "Workgroup MDW (*.MDW)|*.MDW";
            locate(true);
            if (ProgramEnded()) return false;
            DBEngine().SystemDB(g_sLocatedPath);
        }
    }

    // The program database.
    std::string path = joinPath(g_sInstallPath, kProgramDatabase);
    for (;;) {
        try {
            g_dbProgram = ws.OpenDatabase(path);
            break;
        } catch (const Error& e) {
            MsgBox(ErrorMessage(e));
            if (isDamaged(e.number())) {
                directRepair("Kelvor", path, "Kelvor Program Database");
                return false;
            }
            g_sLocateProblem = "Problem locating Kelvor program database(Kelvor4PE.mde).";
            g_sLocateFilter = "Kelvor Program (*.MDE)|*.MDE";
            locate(false);
            if (ProgramEnded()) return false;
            path = g_sLocatedPath;
        }
    }

    std::shared_ptr<CCompany> current;
    auto fail = [&](const Error& e) {
        if (e.number() == err::kItemNotFound) {
            MsgBox(
                "Your Kelvor 4.1 PE program database is not properly linked to the System "
                "Manager database !");
        } else {
            MsgBox(ErrorMessage(e));
        }
        SetPointer(0);
        return false;
    };

    // The companies and their files.
    try {
        Recordset companies = g_dbProgram.OpenRecordset(
            "SELECT DISTINCTROW tblSmCompInfo.CompID, tblSmCompInfo.Name FROM tblSmCompInfo "
            "ORDER BY CompID; ",
            dbOpenSnapshot, dbForwardOnly);
        while (!companies.EOF_()) {
            std::string compId = companies.Fields("CompID").Value().text();
            g_oCompanies->Add(compId, companies.Fields("Name").Value().text());
            companies.MoveNext();
            Recordset files = g_dbProgram.OpenRecordset(
                std::string("SELECT DISTINCTROW tblSmCompFiles.AppID, ") +
                    "tblSmCompFiles.UNCFilePath AS Path, tblSmCompFiles.FileName " +
                    "FROM tblSmCompFiles GROUP BY tblSmCompFiles.AppID, " +
                    "tblSmCompFiles.UNCFilePath, tblSmCompFiles.FileName, " +
                    "tblSmCompFiles.CompID HAVING (((tblSmCompFiles.CompID)=" + jetText(compId) +
                    ")) " + "ORDER BY tblSmCompFiles.AppID; ",
                dbOpenSnapshot, dbForwardOnly);
            while (!files.EOF_()) {
                current = g_oCompanies->Item(compId);
                std::string code = files.Fields("AppID").Value().text();
                for (char& c : code)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                std::string desc = code == "DT"   ? "Kelvor Primary Database"
                                   : code == "GL" ? "General Ledger Database"
                                                  : "";
                current->AddApplication(code,
                                        rowPath(files.Fields("Path").Value().text(),
                                                files.Fields("FileName").Value().text()),
                                        desc);
                files.MoveNext();
            }
        }
    } catch (const Error& e) {
        if (e.number() != err::kInputTableNotFound && e.number() != err::kUnrecognizedFormat)
            return fail(e);
        MsgBox(ErrorMessage(e));
    }

    // The System Manager database.
    std::string smPath;
    try {
        if (!current) {
            g_oCompanies->Add("SM", "Repair System Manager");
            current = g_oCompanies->Item("SM");
        }
        bool located = false;
        try {
            std::string connect = g_dbProgram.TableDefs("tblSmCompFiles").Connect();
            smPath = connect.size() > 10 ? connect.substr(10) : std::string();
            if (connect.empty()) throw Error::make(err::kItemNotFound);
        } catch (const Error&) {
            g_sLocateProblem = "Please specify the path to the System Manager database SYSSM1.mdb";
            g_sLocateFilter = "System Manager (*.MDB)|*.MDB";
            g_sLocatedPath = "";
            while (g_sLocatedPath.empty() && !ProgramEnded())
                Page<frmWizLocateFiles>()->showModal(nullptr);
            if (ProgramEnded()) return false;
            g_oCompanies = std::make_shared<CCompanies>();
            g_oCompanies->Add("SM", "Repair System Manager");
            current = g_oCompanies->Item("SM");
            smPath = g_sLocatedPath;
            located = true;
        }
        (void)located;
        current->AddApplication("SM", smPath, "System Manager Database");
        current->AddApplication("Kelvor", joinPath(g_sInstallPath, kProgramDatabase),
                                "Kelvor Program Database");
    } catch (const Error& e) {
        return fail(e);
    }
    SetPointer(0);
    return true;
}

bool Main() {
    if (!DiscoverEnvironment()) return false;
    Page<frmWizSelectCompany>()->showPage();
    return true;
}

}  // namespace kelvor::wizard
