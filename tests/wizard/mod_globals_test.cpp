// The wizard's helpers: one registry value, the error text convention, path splitting and the
// names a run gives the files beside a database.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kelvor/registry.h"
#include "mod_globals.h"
#include "test_util.h"
#include "wizard.h"

using namespace kelvor;
using namespace kelvor::wizard;

namespace {

constexpr const char* kKey = "SOFTWARE\\Halvane\\Kelvor 4.1 PE\\Test";

std::string SystemText(DWORD code) {
    char buf[255];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buf, 255, nullptr);
    return std::string(buf, n);
}

class GenRegReadValueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reg =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\Kelvor 4.1 PE\\Test]\r\n"
            "@=\"/opt/kelvor\"\r\n"
            "\"Empty\"=\"\"\r\n"
            "\"Fits\"=\"" +
            std::string(254, 'f') +
            "\"\r\n"
            "\"TooLong\"=\"" +
            std::string(255, 't') + "\"\r\n";
        WriteFile(dir.file("test.reg"), reg);
        ::setenv("KELVOR_REGISTRY", dir.path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("KELVOR_REGISTRY"); }
    static void WriteFile(const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    kelvor::test::TempDir dir;
};

}  // namespace

TEST_F(GenRegReadValueTest, ASuccessfulReadLeavesTheCallersErrorPairAlone) {
    int32_t lErr = 17;
    std::string sError = "from before";
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "", lErr, sError), "/opt/kelvor");
    // An empty text is read, not a failure.
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "Empty", lErr, sError), "");
    // 254 characters and the terminating zero fill the 255-character buffer exactly.
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "Fits", lErr, sError),
              std::string(254, 'f'));
    EXPECT_EQ(lErr, 17);
    EXPECT_EQ(sError, "from before");
}

TEST_F(GenRegReadValueTest, FailuresGiveEmptyTextAndTheRegistryCodeWithItsSystemText) {
    int32_t lErr = 0;
    std::string sError;
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "Missing", lErr, sError), "");
    EXPECT_EQ(lErr, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sError, "[modGlobals.GenRegReadValue][VB]; " + SystemText(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(SystemText(ERROR_FILE_NOT_FOUND), "");

    lErr = 0;
    sError.clear();
    EXPECT_EQ(
        GenRegReadValue(HKEY_LOCAL_MACHINE, std::string(kKey) + "\\Nothing", "", lErr, sError), "");
    EXPECT_EQ(lErr, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sError, "[modGlobals.GenRegReadValue][VB]; " + SystemText(ERROR_FILE_NOT_FOUND));

    // The same key under another root is another key.
    lErr = 0;
    EXPECT_EQ(GenRegReadValue(HKEY_CURRENT_USER, kKey, "", lErr, sError), "");
    EXPECT_EQ(lErr, ERROR_FILE_NOT_FOUND);

    lErr = 0;
    sError.clear();
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "TooLong", lErr, sError), "");
    EXPECT_EQ(lErr, ERROR_MORE_DATA);
    EXPECT_EQ(sError, "[modGlobals.GenRegReadValue][VB]; " + SystemText(ERROR_MORE_DATA));

    // The key is closed after a failed read: it still reads afterwards.
    EXPECT_EQ(GenRegReadValue(HKEY_LOCAL_MACHINE, kKey, "", lErr, sError), "/opt/kelvor");
}

TEST(FormatErrorTest, RaisedErrorsGetTheModuleAndLabelAndCalleesReportsKeepTheirText) {
    int32_t lErr = 0;
    std::string sError = "stale";
    FormatError(lErr, sError, 3024, "DAO.Workspace", "Could not find file '/d/dt.mdb'.",
                "OpenDatabases");
    EXPECT_EQ(lErr, 3024);
    EXPECT_EQ(sError, "[modGlobals.OpenDatabases][VB]; Could not find file '/d/dt.mdb'.");

    // The caller adds its prefix in front of what its callee reported; the number stays.
    FormatError(lErr, sError, 0, "", "", "Main");
    EXPECT_EQ(lErr, 3024);
    EXPECT_EQ(sError,
              "[modGlobals.Main]; [modGlobals.OpenDatabases][VB]; Could not find file "
              "'/d/dt.mdb'.");

    // A new error replaces an earlier report.
    FormatError(lErr, sError, 91, "", "Object variable or With block variable not set", "X");
    EXPECT_EQ(lErr, 91);
    EXPECT_EQ(sError, "[modGlobals.X][VB]; Object variable or With block variable not set");

    // No error at all changes nothing.
    lErr = 0;
    sError = "untouched";
    FormatError(lErr, sError, 0, "", "", "Main");
    EXPECT_EQ(lErr, 0);
    EXPECT_EQ(sError, "untouched");
}

TEST(PathPartsTest, SplitAtTheLastSeparator) {
    EXPECT_EQ(GetDirPart("/data/C01/dt.mdb"), "/data/C01");
    EXPECT_EQ(GetFilePart("/data/C01/dt.mdb"), "dt.mdb");
    EXPECT_EQ(GetDirPart("/data.old/C01/dt"), "/data.old/C01");
    EXPECT_EQ(GetFilePart("/data.old/C01/dt"), "dt");
    // No separator: both are the path itself.
    EXPECT_EQ(GetDirPart("dt.mdb"), "dt.mdb");
    EXPECT_EQ(GetFilePart("dt.mdb"), "dt.mdb");
    // A separator only at the start leaves the directory part as it was.
    EXPECT_EQ(GetDirPart("/dt.mdb"), "/dt.mdb");
    EXPECT_EQ(GetFilePart("/dt.mdb"), "dt.mdb");
    EXPECT_EQ(GetDirPart("/data/"), "/data");
    EXPECT_EQ(GetFilePart("/data/"), "");
    EXPECT_EQ(GetDirPart(""), "");
    EXPECT_EQ(GetFilePart(""), "");
}

TEST(RunFileNamesTest, TheBackupMarkGoesBeforeTheFirstDotOfTheFileName) {
    EXPECT_EQ(BackupName("/data/C01/DT.mdb"), "/data/C01/DT_BK.mdb");
    EXPECT_EQ(BackupName("/d/a.b.mdb"), "/d/a_BK.b.mdb");
    // Dots in the folders do not count.
    EXPECT_EQ(BackupName("/srv/kelvor.4.1/Kelvor4PE.mde"), "/srv/kelvor.4.1/Kelvor4PE_BK.mde");
    EXPECT_EQ(SetAsideName("/d/a.b.mdb"), "/d/a.b.mdb_Old");
    // A file name without a dot cannot be split, even in a folder with one.
    EXPECT_NE(kelvor::test::ErrorOf([] { BackupName("/srv/kelvor.4.1/SYSSM1"); }), 0);
}
