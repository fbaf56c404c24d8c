// modGlobals: registry reads, path splitting and the wizard's error text convention.
#pragma once

#include <cstdint>
#include <string>

#include "kelvor/registry.h"

namespace kelvor::wizard {

// One text value of the registry; "" on any failure, with lErr the registry's result code and
// sError "[modGlobals.GenRegReadValue][VB]; " and the system's text for it. A successful read
// leaves lErr and sError as they were.
std::string GenRegReadValue(HKEY hKeyRoot, const std::string& sKeyName,
                            const std::string& sValueName, int32_t& lErr, std::string& sError);

void FormatError(int32_t& lErr, std::string& sError, int32_t lNumber, const std::string& sSource,
                 const std::string& sDescription, const std::string& sLabel);

// Paths here use "/": the text before the last "/" (sPath itself when there is none, or only
// at the start), and the text after it.
std::string GetDirPart(const std::string& sPath);
std::string GetFilePart(const std::string& sPath);

}  // namespace kelvor::wizard
