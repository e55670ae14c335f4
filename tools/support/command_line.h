// The tools' command lines, on CLI11: one way to report a bad option and to
// check numbers and byte lists, so that every tool says it the same way.
#ifndef TOLVARINE_TOOLS_COMMAND_LINE_H
#define TOLVARINE_TOOLS_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tolvarine_tools {

// Parses argv into `app`. Returns -1 to go on; otherwise the exit status: 0
// after --help (on standard output), 2 after a bad option, with
// "PROGRAM: reason; see --help" on standard error.
int parseCommandLine(CLI::App& app, int argc, char** argv);

// A value that is not empty.
CLI::Validator nonEmpty();
// A number within [low, high] ("expected" says what, e.g. "seconds > 0").
CLI::Validator number(double low, double high, const std::string& expected);
// A whole number within [low, high], decimal or 0x hexadecimal.
CLI::Validator whole(unsigned long long low, unsigned long long high, const std::string& expected);

// Reads a command-line number: the whole text, finite, within [low, high].
bool parseNumber(const std::string& text, double low, double high, double& out);
// A whole number (decimal or 0x...) of at most `max`.
bool parseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out);
// A comma-separated list of bytes, each 0xHH or decimal.
bool parseBytes(const std::string& text, std::vector<std::uint8_t>& out);
// The message of a value that does not fit.
std::string badValue(const std::string& text, const std::string& expected);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_COMMAND_LINE_H
