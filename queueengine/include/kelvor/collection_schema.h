// A company's databases for the collection module: DT (Kelvor's own tables and saved queries,
// with the Customer Accounts tables linked in), CA (customer accounts), SO and GL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kelvor::queueengine {

struct CompanyFiles {
    std::string dt, ca, so, gl;
};

struct SampleOptions {
    int customers = 0;  // customers of generated data; 0 makes empty tables
    uint64_t seed = 1;  // the same seed gives the same data
    // Called before the first customer and after every 1000: what it throws stops the filling,
    // and CreateCompany fails as it would for any other failure.
    std::function<void(int done, int total)> progress = nullptr;
};

// Creates `dir` when it is missing and in it the four databases, every table the queue engine
// and the application server use, one options row with every rule switched on, and the two
// saved queries. Throws Error (3204 when a database file exists already); a failure removes the
// databases it has made, and the folder when it made it. A server path (kelvor/server.h) whose
// schema is NAME makes the company's databases as the schemas NAME_dt, NAME_ca, NAME_so and
// NAME_gl there.
CompanyFiles CreateCompany(const std::string& dir, const SampleOptions& sample = {});

// The text of the saved queries, also for tests that make their own databases.
extern const char* const kMinFIAQuery;
extern const char* const kFollowUp2Query;

}  // namespace kelvor::queueengine
