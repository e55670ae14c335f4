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

// A number within [low, high] ("expected" says what, e.g. "seconds > 0").
CLI::Validator number(double low, double high, const std::string& expected);
// A whole number within [low, high], decimal or 0x hexadecimal.
CLI::Validator whole(unsigned long long low, unsigned long long high, const std::string& expected);

// An option "NAME TEXT" that takes a text that is not empty.
CLI::Option* addText(CLI::App& app, const std::string& name, std::string& value,
                     const std::string& help, const std::string& text);
// An option "NAME TEXT" that takes a number within [low, high].
template <class T>
CLI::Option* addNumber(CLI::App& app, const std::string& name, T& value, const std::string& help,
                       const std::string& text, double low, double high,
                       const std::string& expected) {
  return app.add_option(name, value, help)->option_text(text)->check(number(low, high, expected));
}

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
