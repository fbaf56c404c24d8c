// The catalogue of errors as its header is written: every named number has a text, and no two
// names share a number by accident.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "kelvor/error.h"

TEST(ErrorCatalogueTest, EveryNamedNumberIsOneErrorWithAText) {
    std::ifstream in(KELVOR_ERROR_HEADER);
    ASSERT_TRUE(in) << KELVOR_ERROR_HEADER;
    std::stringstream read;
    read << in.rdbuf();
    const std::string header = read.str();
    const std::regex constant(R"(inline\s+constexpr\s+int\s+(k\w+)\s*=\s*(-?\d+)\s*;)");
    std::map<int, std::string> names;
    for (std::sregex_iterator it(header.begin(), header.end(), constant), end; it != end; ++it) {
        const std::string name = (*it)[1];
        const int number = std::stoi((*it)[2]);
        auto [first, fresh] = names.emplace(number, name);
        EXPECT_TRUE(fresh) << name << " and " << first->second << " are both " << number;
        EXPECT_NE(kelvor::Error::messageFor(number).rfind("Reserved error", 0), 0u)
            << name << " (" << number << ") has no text in the catalogue";
    }
    EXPECT_GT(names.size(), 90u) << "the pattern no longer finds the constants";
}
