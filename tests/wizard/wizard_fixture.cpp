#include "wizard_fixture.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace kelvor::wizard::test {

namespace {

// Long enough for a slow machine, short enough that a hung page fails the test quickly.
constexpr qint64 kScriptTimeoutMs = 15000;

std::string g_renameFaultFrom;
std::string g_renameHookFrom;
std::function<void()> g_renameHook;

}  // namespace

}  // namespace kelvor::wizard::test

// A failure of one chosen rename, for the paths of the repair run that only a failing disk or
// a permission change in mid-run reaches. Calls from the wizard (and everyone else in this
// program) land here; all others are passed on unchanged.
extern "C" int rename(const char* from, const char* to) noexcept {
    if (kelvor::wizard::test::g_renameHook && kelvor::wizard::test::g_renameHookFrom == from)
        kelvor::wizard::test::g_renameHook();
    if (!kelvor::wizard::test::g_renameFaultFrom.empty() &&
        kelvor::wizard::test::g_renameFaultFrom == from) {
        errno = EACCES;
        return -1;
    }
    return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace kelvor::wizard::test {

void FailRenameFrom(const std::string& from) {
    g_renameFaultFrom = from;
}

void ClearRenameFault() {
    g_renameFaultFrom.clear();
}

void OnRenameFrom(const std::string& from, std::function<void()> before) {
    g_renameHookFrom = from;
    g_renameHook = std::move(before);
}

// ---- fixtures --------------------------------------------------------------------------------

void WizardTest::SetUp() {
    ResetForTest();
    // A program that ended has asked Qt's event loops to stop, and every dialog's exec() would
    // return at once; the next program starts with that request gone, as a new process would.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    SetMessageBoxHandler([this](const std::string& text) { messages.push_back(text); });
}

void WizardTest::TearDown() {
    ResetForTest();
    SetMessageBoxHandler({});
    ClearRenameFault();
    ::unsetenv("KELVOR_REGISTRY");
}

void InstallationTest::SetUp() {
    WizardTest::SetUp();
    install = dir.file("install");
    CreateInstallation(install, Options());
    ::setenv("KELVOR_REGISTRY", (install + "/registry").c_str(), 1);
}

void InstallationTest::Execute(const std::string& path,
                               const std::vector<std::string>& statements) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    for (const auto& s : statements) db.Execute(s, dbFailOnError);
    db.Close();
}

void InstallationTest::SelectCompany(const std::string& compId) {
    auto* list = Page<frmWizSelectCompany>()->lstCompanyList;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().toStdString().rfind(compId + "\t", 0) == 0) {
            list->setCurrentRow(i);
            return;
        }
    }
    ADD_FAILURE() << "no company " << compId << " in the list";
}

void InstallationTest::SelectRows(QListWidget* list, const std::vector<int>& rows) {
    list->clearSelection();
    for (int r : rows) list->item(r)->setSelected(true);
    if (!rows.empty()) list->setCurrentRow(rows.front(), QItemSelectionModel::NoUpdate);
}

frmWizRepair* InstallationTest::GoToRepairPage(const std::string& compId,
                                               const std::vector<int>& rows) {
    if (!Main()) {
        ADD_FAILURE() << "the wizard did not start";
        return nullptr;
    }
    SelectCompany(compId);
    Page<frmWizSelectCompany>()->btnNext->click();
    auto* apps = LoadedPage<frmWizSelectApp>();
    if (!apps) {
        ADD_FAILURE() << "Next on the company page did not show the database page";
        return nullptr;
    }
    SelectRows(apps->lstApplications, rows);
    apps->btnNext->click();
    auto* action = LoadedPage<frmWizSelectAction>();
    if (!action) {
        ADD_FAILURE() << "Next on the database page did not show the action page";
        return nullptr;
    }
    action->btnNext->click();
    return LoadedPage<frmWizRepair>();
}

// ---- modal pages -----------------------------------------------------------------------------

ModalScript::ModalScript() {
    clock_.start();
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    timer_.start();
}

ModalScript::~ModalScript() {
    timer_.stop();
}

void ModalScript::Then(std::function<bool()> ready, std::function<void()> action) {
    steps_.emplace_back(std::move(ready), std::move(action));
}

void ModalScript::tick() {
    if (busy_) return;
    if (clock_.elapsed() > kScriptTimeoutMs) {
        timer_.stop();
        ADD_FAILURE() << "the wizard kept waiting on a page; " << steps_.size()
                      << " step(s) of the script never ran";
        EndProgram();
        return;
    }
    if (steps_.empty() || !steps_.front().first()) return;
    auto action = std::move(steps_.front().second);
    steps_.pop_front();
    busy_ = true;
    action();
    busy_ = false;
}

void WhenReady(QObject* context, std::function<bool()> ready, std::function<void()> action) {
    auto* timer = new QTimer(context);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [=] {
        if (clock->elapsed() > kScriptTimeoutMs) {
            ADD_FAILURE() << "what the test waited for never came";
        } else if (!ready()) {
            return;
        } else {
            action();
        }
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

// ---- lists -----------------------------------------------------------------------------------

std::vector<std::string> Lines(const QListWidget* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->text().toStdString());
    return out;
}

std::vector<int> SelectedRows(const QListWidget* list) {
    std::vector<int> out;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->isSelected()) out.push_back(i);
    return out;
}

std::string StatusLine(const std::string& desc, const std::string& flag) {
    std::string column = desc.substr(0, 38);
    column.resize(38, ' ');
    return column + "\t" + flag;
}

// ---- files -----------------------------------------------------------------------------------

bool FileExists(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0;
}

unsigned long Inode(const std::string& path) {
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) return 0;
    return static_cast<unsigned long>(sb.st_ino);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string DamagePages(const std::string& data) {
    std::string out = data;
    for (size_t i = 8192; i + 4096 < out.size(); ++i) out[i] = static_cast<char>(i * 7);
    return out;
}

namespace {

struct Sqlite {
    explicit Sqlite(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "sqlite3 cannot open " << path;
            sqlite3_close_v2(db);
            db = nullptr;
        }
    }
    ~Sqlite() {
        if (db) sqlite3_close_v2(db);
    }
    // Each row of the statement's result as one text, columns separated by a unit separator.
    std::vector<std::string> rows(const std::string& sql) const {
        std::vector<std::string> out;
        if (!db) return out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
            return out;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                if (c) row += '\x1f';
                if (sqlite3_column_type(st, c) == SQLITE_NULL) {
                    row += "<null>";
                } else {
                    const auto* bytes = sqlite3_column_blob(st, c);
                    int n = sqlite3_column_bytes(st, c);
                    if (bytes) row.append(static_cast<const char*>(bytes), static_cast<size_t>(n));
                }
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(st);
        return out;
    }
    sqlite3* db = nullptr;
};

}  // namespace

Digest ReadDigest(const std::string& path) {
    Digest d;
    Sqlite s(path);
    for (const auto& table :
         s.rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")) {
        std::string quoted = "\"";
        for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        quoted += "\"";
        auto rows = s.rows("SELECT * FROM " + quoted);
        std::sort(rows.begin(), rows.end());
        d[table] = std::move(rows);
    }
    return d;
}

size_t RowCount(const Digest& d) {
    size_t n = 0;
    for (const auto& [table, rows] : d) n += rows.size();
    return n;
}

std::string IntegrityCheck(const std::string& path) {
    Sqlite s(path);
    auto rows = s.rows("PRAGMA integrity_check");
    std::string out;
    for (const auto& r : rows) out += (out.empty() ? "" : "\n") + r;
    return out;
}

}  // namespace kelvor::wizard::test
