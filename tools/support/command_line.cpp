#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace tolvarine_tools {

int parseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return -1;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      std::cout << app.help();
      return 0;
    }
    std::cerr << app.get_name() << ": " << e.what() << "; see --help" << std::endl;
    return 2;
  }
}

std::string badValue(const std::string& text, const std::string& expected) {
  return "bad value '" + text + "' (expected " + expected + ")";
}

CLI::Option* addText(CLI::App& app, const std::string& name, std::string& value,
                     const std::string& help, const std::string& text) {
  const auto nonEmpty = [](std::string& given) {
    return given.empty() ? "needs a non-empty value" : "";
  };
  return app.add_option(name, value, help)->option_text(text)->check(CLI::Validator(nonEmpty, ""));
}

CLI::Validator number(double low, double high, const std::string& expected) {
  return CLI::Validator(
      [=](std::string& text) {
        double value = 0;
        return parseNumber(text, low, high, value) ? std::string() : badValue(text, expected);
      },
      "");
}

CLI::Validator whole(unsigned long long low, unsigned long long high, const std::string& expected) {
  return CLI::Validator(
      [=](std::string& text) {
        unsigned long long value = 0;
        return parseUnsigned(text, high, value) && value >= low ? std::string()
                                                                : badValue(text, expected);
      },
      "");
}

bool parseNumber(const std::string& text, double low, double high, double& out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) || value < low ||
      value > high) {
    return false;
  }
  out = value;
  return true;
}

bool parseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
    return false;
  }
  out = value;
  return true;
}

bool parseBytes(const std::string& text, std::vector<std::uint8_t>& out) {
  out.clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    unsigned long long value = 0;
    if (!parseUnsigned(item, 255, value)) {
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return !out.empty() && text.back() != ',';
}

}  // namespace tolvarine_tools
