// The optional configuration file, read once while the context is built.
#pragma once

#include <string>

class CContext;

namespace dravenholt {

extern const char* const kConfigFileName;  // "orvoconfig.json"

// The directory (ending in a separator, or empty) in which the file is looked for.
std::string findConfigDirectory(const std::string& fileName);

// Applies the file's settings to the context; raises nothing.
void loadConfiguration(CContext& context);

}  // namespace dravenholt
