// The registry calls over .reg files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kelvor/registry.h"
#include "test_util.h"

using namespace kelvor;
using kelvor::test::RunKelvor;
using kelvor::test::TempDir;

namespace {

const char* kInstallKey = "SOFTWARE\\Halvane\\Kelvor 4.1 PE\\InstallPath";
const char* kEnginesKey = "SOFTWARE\\Halvane\\Kelvor 4.1 PE\\4.10.000\\Jet\\4.0\\Engines";

class RegistryTest : public ::testing::Test {
  protected:
    TempDir dir;
    void SetUp() override {
        ::setenv("KELVOR_REGISTRY", dir.path().c_str(), 1);
        write("kelvor.reg",
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "; the installation\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\Kelvor 4.1 PE\\InstallPath]\r\n"
              "@=\"/opt/kelvor\"\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\Kelvor 4.1 "
              "PE\\4.10.000\\Jet\\4.0\\Engines]\r\n"
              "\"SYSTEMDB\"=\"/opt/kelvor/Kelvor2000.mdw\"\r\n"
              "\"Quoted\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
              "\"Count\"=dword:0000002a\r\n"
              "\"Empty\"=\"\"\r\n"
              "\"Bytes\"=hex:01,02,\\\r\n"
              "  ff\r\n"
              "\"NoZero\"=hex(1):41,00,42,00\r\n");
    }
    void TearDown() override { ::unsetenv("KELVOR_REGISTRY"); }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name), std::ios::binary) << text;
    }
    static std::string query(HKEY key, const char* name, LONG* rc, DWORD* type = nullptr,
                             DWORD size = 255) {
        std::string buf(size, '\0');
        DWORD cb = size;
        *rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buf.data()), &cb);
        buf.resize(*rc == ERROR_SUCCESS ? cb : 0);
        return buf;
    }
};

}  // namespace

TEST_F(RegistryTest, ReadsTextDwordAndDefaultValues) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    LONG rc;
    DWORD type = 0;
    EXPECT_EQ(query(key, "", &rc, &type), std::string("/opt/kelvor\0", 12));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(query(key, nullptr, &rc), std::string("/opt/kelvor\0", 12));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "software\\halvane\\KELVOR 4.1 PE\\4.10.000\\Jet\\4.0\\Engines", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(query(key, "SystemDB", &rc), std::string("/opt/kelvor/Kelvor2000.mdw\0", 27));
    EXPECT_EQ(query(key, "Quoted", &rc), std::string("a \"b\" c:\\d\0", 11));
    EXPECT_EQ(query(key, "Count", &rc, &type), std::string("\x2a\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(query(key, "Empty", &rc), std::string("\0", 1));
    EXPECT_EQ(query(key, "Bytes", &rc, &type), "\x01\x02\xff");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(query(key, "NoZero", &rc, &type), "AB");  // text stored without its zero
    EXPECT_EQ(type, REG_SZ);

    query(key, "Missing", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    DWORD cb = 4;
    BYTE small[4];
    EXPECT_EQ(RegQueryValueExA(key, "SYSTEMDB", nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 27u);
    cb = 0;
    EXPECT_EQ(RegQueryValueExA(key, "SYSTEMDB", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 27u);
    RegCloseKey(key);

    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(nullptr, "x", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    // A parent of a defined key exists too.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvane", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SystemMessagesForTheCodes) {
    char buf[255];
    for (auto [code, text] : std::vector<std::pair<DWORD, const char*>>{
             {2, "The system cannot find the file specified.\r\n"},
             {5, "Access is denied.\r\n"},
             {234, "More data is available.\r\n"}}) {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buf, 255, nullptr);
        EXPECT_EQ(std::string(buf, n), text);
    }
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buf, 5, nullptr), 0u);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 99999, 0, buf, 255, nullptr), 0u);
}

TEST_F(RegistryTest, WriteAccessNeedsAFileTheUserCanWrite) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.file("kelvor.reg").c_str(), 0644), 0);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, 0x2003F, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to an ordinary user";
    pid_t pid = ::fork();
    if (pid == 0) {
        // An ordinary user: the registry file belongs to root.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        HKEY k;
        LONG all = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, 0x2003F, &k);
        LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, &k);
        ::_exit(all == ERROR_ACCESS_DENIED && read == ERROR_SUCCESS ? 0 : 10 + all);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(RegistryTest, UnicodeFilesImportAndQuery) {
    // The editor's own export format: UTF-16LE with a byte-order mark.
    std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools]\r\n"
        "\"Path\"=\"/usr/bin/sysinfo\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : utf8) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    TempDir other;
    std::string file = other.file("tools.reg");
    std::ofstream(file, std::ios::binary) << utf16;
    auto r = RunKelvor("reg import " + file);
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunKelvor("reg query 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools' Path");
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools\n    Path    REG_SZ    /usr/bin/sysinfo\n");
    r = RunKelvor("reg query 'HKLM\\" + std::string(kEnginesKey) + "' Count");
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "    Count    REG_DWORD    0x2a\n");

    // A later import changes and deletes what an earlier one wrote.
    std::ofstream(file, std::ios::binary) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools]\n"
                                             "\"Path\"=-\n\"Other\"=\"x\"\n";
    ASSERT_EQ(RunKelvor("reg import " + file).status, 0);
    r = RunKelvor("reg query 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools' Path");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error 2: The system cannot find the file specified.\n");

    std::ofstream(file, std::ios::binary) << "not a registry file\n";
    r = RunKelvor("reg import " + file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 1"), std::string::npos) << r.err;
}

TEST_F(RegistryTest, AnImportThatCannotReadTheImportedKeysChangesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to an ordinary user";
    write("imported.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Earlier]\n\"N\"=\"1\"\n");
    ASSERT_EQ(::chmod(dir.file("imported.reg").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);  // the folder itself is writable
    std::string before = kelvor::test::ReadFile(dir.file("imported.reg"));
    TempDir other;
    std::string file = other.file("new.reg");
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Later]\n";
    ASSERT_EQ(::chmod(other.path().c_str(), 0755), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        ::_exit(kelvor::test::ErrorOf([&] { registry::Import(file); }) == 3051 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(kelvor::test::ReadFile(dir.file("imported.reg")), before);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"imported.reg", "kelvor.reg"}));
}

TEST_F(RegistryTest, ParallelImportsKeepEveryKey) {
    constexpr int kImports = 10;
    TempDir inputs;
    std::vector<pid_t> pids;
    for (int i = 0; i < kImports; ++i) {
        std::string file = inputs.file("k" + std::to_string(i) + ".reg");
        std::ofstream(file, std::ios::binary)
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parallel\\K" << i
            << "]\n\"N\"=dword:" << i << "\n";
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(KELVOR_TOOL, KELVOR_TOOL, "reg", "import", file.c_str(), nullptr);
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int i = 0; i < kImports; ++i) {
        std::map<std::string, registry::RegValue> values;
        EXPECT_TRUE(registry::ReadKey("HKLM\\SOFTWARE\\Parallel\\K" + std::to_string(i), values))
            << i;
    }
    // Nothing is left over beside the registry's own files.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"imported.reg", "kelvor.reg"}));
}
