#include "kelvor/roster.h"

#include "locking/lock_file.h"
#include "pg/path.h"
#include "pg/roster.h"

namespace kelvor {

int ReadRoster(const std::string& path, std::vector<RosterUser>& users) {
    std::vector<locking::RosterEntry> entries;
    // A schema on a PostgreSQL server keeps its roster on the server.
    int n =
        pg::NamesServer(path) ? pg::ReadRoster(path, entries) : locking::ReadRoster(path, entries);
    users.clear();
    for (auto& e : entries)
        users.push_back(RosterUser{std::move(e.workstation), std::move(e.user)});
    return n;
}

int16_t LDBUser_GetUsers(std::vector<std::string>& names, const std::string& path, int) {
    std::vector<RosterUser> users;
    int n = ReadRoster(path, users);
    if (n < 0) return static_cast<int16_t>(n);
    names.clear();
    for (auto& u : users) names.push_back(std::move(u.workstation));
    return static_cast<int16_t>(n > INT16_MAX ? INT16_MAX : n);
}

}  // namespace kelvor
