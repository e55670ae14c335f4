#ifndef TOLVARINE_TOOLS_NUMBER_OPTION_H
#define TOLVARINE_TOOLS_NUMBER_OPTION_H

#include <string>

namespace tolvarine_tools {

// Reads a command-line number: the whole text, finite, within [low, high].
bool parseNumber(const std::string& text, double low, double high, double& out);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_NUMBER_OPTION_H
