// A sample installation for the wizard and the demo: registry file, workgroup file, program
// database linked to the System Manager database, and companies.
#pragma once

#include <string>

namespace kelvor::wizard {

// The "System" account's password: eight control characters, fixed in the program.
extern const std::string kSystemPassword;

struct InstallationOptions {
    int companies = 2;
    int customers = 200;
    // A server path (kelvor/server.h) ending in #NAME: the companies' databases go there, as
    // the schemas NAME_c01_dt, NAME_c01_ca, ..., and their file rows name them (UNCFilePath the
    // server's part, FileName the schema). Empty: files under dir/companies.
    std::string server;
};

// Makes `dir` (when missing) and in it the installation; the registry file goes to
// dir/registry/kelvor.reg. Throws Error (3204 when a file exists already).
void CreateInstallation(const std::string& dir, const InstallationOptions& options);

}  // namespace kelvor::wizard
