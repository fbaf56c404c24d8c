// The engine layer's name for the error type of every program (kelvor/error.h).
//
// Every operation of the layer reports failure by throwing JetError, carrying the engine's error
// number, its description and a source; no other exception leaves the layer. Callers trap it
// where the programs' own procedures trap run-time errors and turn it into their error pair.
#pragma once

#include "kelvor/error.h"

namespace kelvor {

using JetError = Error;

}  // namespace kelvor
