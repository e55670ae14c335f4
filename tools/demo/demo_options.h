// The demo's command line.
#ifndef TOLVARINE_DEMO_OPTIONS_H
#define TOLVARINE_DEMO_OPTIONS_H

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace tolvarine_demo {

struct Options {
  std::string output = "out/demo";
  bool openrtm = false;   // --middleware openrtm
  std::string component;  // empty: the one built for the middleware
  bool shortForm = false;
  std::optional<double> duration;
  double rate = 30.0;
  // Half the wheel tread: the component splits a command with the whole
  // configured tread (v +- T w), so this value makes the chair turn at the
  // commanded angular velocity.
  double tread = 0.2744;
  bool silentBoard = false;
};

// `openRtmVersion`: the release the build found, empty when none.
void addOptions(CLI::App& app, Options& options, const std::string& openRtmVersion);

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_OPTIONS_H
