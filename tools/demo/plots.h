// The demo's two pictures, drawn by gnuplot from its CSV files: the scripts,
// and gnuplot run on them.
#ifndef TOLVARINE_TOOLS_PLOTS_H
#define TOLVARINE_TOOLS_PLOTS_H

#include <functional>
#include <string>

namespace tolvarine_demo {

// The pictures, the gnuplot scripts that draw them and gnuplot's console.
constexpr const char* kPathPlot = "path.png";
constexpr const char* kVelocityPlot = "velocity.png";
constexpr const char* kPathScript = "path.gp";
constexpr const char* kVelocityScript = "velocity.gp";
constexpr const char* kPlotLog = "gnuplot.log";

struct PathEnds {
  double truthX = 0.0, truthY = 0.0;        // where the chair really ended, m
  double odometryX = 0.0, odometryY = 0.0;  // where the odometry says it ended, m
};

// gnuplot from $PATH, when it can draw PNG files (its pngcairo terminal);
// empty with the reason otherwise.
std::string findGnuplot(std::string* error);

// Writes both scripts into `folder` and runs `gnuplot` on them there, its
// console into `log`; false with the reason (none when `interrupted` ended it).
bool drawPlots(const std::string& gnuplot, const std::string& folder, const PathEnds& ends,
               const std::string& log, const std::function<bool()>& interrupted,
               std::string* error);

}  // namespace tolvarine_demo

#endif  // TOLVARINE_TOOLS_PLOTS_H
