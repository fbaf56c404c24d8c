// Workgroup information files: the accounts that workspaces log on with. A workgroup file is
// a database holding MSysAccounts (user and group names, salted password hashes made with
// libsodium's crypto_pwhash, never a password itself) and MSysGroups (membership).
// Passwords are byte strings: any byte, control characters included, counts.
//
// Failures (JetError): 3028 the file is missing or unreadable; 3343 it is not a database;
// 3358 it is a database but not a workgroup file; 3173 its accounts cannot be read (damaged);
// 3029 no such account or a wrong password; 3390 the account exists already.
#pragma once

#include <string>

namespace kelvor::workgroup {

// A new workgroup file with the account "Admin" (empty password) and the groups "Admins" and
// "Users". 3204 when the file exists.
void Create(const std::string& path);
void AddUser(const std::string& path, const std::string& user, const std::string& password);
// The account's name as stored, when `password` is right.
std::string Authenticate(const std::string& path, const std::string& user,
                         const std::string& password);

}  // namespace kelvor::workgroup
