// Who has a database open: the roster kept in the database's lock-information file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvor {

inline constexpr int kRosterAllUsers = 1;
inline constexpr int kRosterConnectedUsers = 2;

struct RosterUser {
    std::string workstation;  // host name of the connection's machine
    std::string user;         // the workspace's user name ("Admin" for the default workspace)
};

// Fills `names` with the workstation names of the connections now open on the database at
// `path` (one element per connection, so a workstation with two connections appears twice)
// and returns their count; a negative count when the database does not exist or its lock
// information cannot be read. Reads without opening the database. `option` is accepted for
// the roster interface's sake; every option lists the connections now open.
int16_t LDBUser_GetUsers(std::vector<std::string>& names, const std::string& path, int option);

// The same roster with user names; a negative result as above.
int ReadRoster(const std::string& path, std::vector<RosterUser>& users);

}  // namespace kelvor
