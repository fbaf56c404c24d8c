// The private cluster scripts/pg-cluster.sh started for this test run (CTest's fixture).
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace kelvor::test {

// Its libpq connection text, or "" when no cluster was started.
inline std::string ClusterConninfo() {
    const char* state = std::getenv("KELVOR_TEST_PG_STATE");
    if (!state) return {};
    std::ifstream in(std::string(state) + "/conninfo");
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace kelvor::test
