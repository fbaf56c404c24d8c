// The planner: decides, on the bound tree, which SELECTs can update their rows, how DISTINCTROW
// keeps records of joined tables apart, and how UPDATE and DELETE reach the target's records.
#pragma once

#include "jetsql/bound.h"

namespace kelvor::jetsql {

void Plan(BoundStatement& st);

}  // namespace kelvor::jetsql
