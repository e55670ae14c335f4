// gnuplot scripts for the demo's two pictures, drawn from its CSV files.
#ifndef TOLVARINE_TOOLS_PLOTS_H
#define TOLVARINE_TOOLS_PLOTS_H

#include <string>

namespace tolvarine_tools {

struct PathEnds {
  double truthX = 0.0, truthY = 0.0;        // where the chair really ended, m
  double odometryX = 0.0, odometryY = 0.0;  // where the odometry says it ended, m
};

// The file names are relative to the folder gnuplot runs in.
std::string pathPlotScript(const std::string& truthCsv, const std::string& odometryCsv,
                           const PathEnds& ends, const std::string& png);
std::string velocityPlotScript(const std::string& commandCsv, const std::string& measuredCsv,
                               const std::string& truthCsv, const std::string& png);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_PLOTS_H
