// kelvor users, kelvor compact: the engine layer's platform pieces for administrators and scripts.
#include <iostream>

#include "commands.h"
#include "kelvor/dao.h"
#include "kelvor/jet_error.h"
#include "kelvor/roster.h"

namespace kelvor::tool {

int Users(const Args& args) {
    if (args.size() != 1) Usage("kelvor users DATABASE");
    std::vector<RosterUser> users;
    int n = ReadRoster(args[0], users);
    if (n < 0) throw JetError::make(err::kFileNotFound, args[0]);
    for (const auto& u : users) std::cout << u.workstation << "\t" << u.user << "\n";
    return 0;
}

int Compact(const Args& args) {
    if (args.size() != 2) Usage("kelvor compact SOURCE DESTINATION");
    DBEngine().CompactDatabase(args[0], args[1]);
    return 0;
}

}  // namespace kelvor::tool
