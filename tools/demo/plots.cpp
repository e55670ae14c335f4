#include "plots.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "recorder.h"
#include "summary.h"

namespace tolvarine_demo {

namespace {

using namespace std::chrono_literals;
using tolvarine_tools::ChildProcess;

const char* kPreamble =
    "set datafile separator ','\n"
    "set grid lc rgb '#dddddd'\n"
    "set border lc rgb '#555555'\n";

// The file names are relative to the folder gnuplot runs in.
std::string pathPlotScript(const PathEnds& ends) {
  std::ostringstream gp;
  gp << "set terminal pngcairo size 900,800 font 'sans,10'\n"
     << "set output '" << kPathPlot << "'\n"
     << kPreamble
     << "set title 'Path in the plane: odometry (OdmetoryOut) against the ground truth'\n"
     << "set xlabel 'x [m] (ahead at the start)'\n"
     << "set ylabel 'y [m] (left at the start)'\n"
     // Equal scales on both axes, so turns look like turns.
     << "set size ratio -1\n"
     << "set key outside bottom center horizontal box\n"
     << "set offsets graph 0.05, graph 0.05, graph 0.05, graph 0.05\n"
     << "$start << EOD\n0,0\nEOD\n"
     << "$truthEnd << EOD\n"
     << format("%.4f,%.4f", ends.truthX, ends.truthY) << "\nEOD\n"
     << "$odometryEnd << EOD\n"
     << format("%.4f,%.4f", ends.odometryX, ends.odometryY) << "\nEOD\n"
     << "plot '" << Recorder::kTruthCsv << "' using 2:3 skip 1 with lines lw 4 lc rgb '#aaaaaa' "
     << "title 'ground truth (simulated board)', \\\n"
     << "     '" << Recorder::kOdometryCsv
     << "' using 3:4 skip 1 with lines lw 1.5 lc rgb '#1f63b4' "
     << "title 'odometry (OdmetoryOut)', \\\n"
     << "     $start using 1:2 with points pt 7 ps 2 lc rgb '#2ca02c' title 'start', \\\n"
     << "     $truthEnd using 1:2 with points pt 5 ps 1.8 lc rgb '#555555' "
     << "title 'end (ground truth)', \\\n"
     << "     $odometryEnd using 1:2 with points pt 9 ps 2 lc rgb '#d62728' "
     << "title 'end (odometry)'\n";
  return gp.str();
}

std::string velocityPlotScript() {
  std::ostringstream gp;
  gp << "set terminal pngcairo size 1000,760 font 'sans,10'\n"
     << "set output '" << kVelocityPlot << "'\n"
     << kPreamble << "set key outside right top box Left reverse samplen 2 width 3\n"
     << "set lmargin 10\n"
     << "set rmargin 26\n"
     << "set multiplot layout 2,1 title 'Commanded (VelocityIn) against measured velocity "
        "(VelocityOut)'\n"
     << "set ylabel 'linear [m/s]'\n"
     // The component reports the path length per step: a speed without sign.
     << "set label 1 'measured vx: path speed, no sign' at graph 0.01, graph 0.06 font ',9'\n"
     << "set format x ''\n"
     << "plot '" << Recorder::kTruthCsv << "' using 1:8 skip 1 with lines lw 3 lc rgb '#bbbbbb' "
     << "title 'true (board)', \\\n"
     << "     '" << Recorder::kCommandCsv << "' using 1:2 skip 1 with steps lw 2 lc rgb '#ff7f0e' "
     << "title 'commanded vx', \\\n"
     << "     '" << Recorder::kVelocityCsv << "' using 1:3 skip 1 with lines lw 1 lc rgb '#1f63b4' "
     << "title 'measured vx'\n"
     << "unset label 1\n"
     << "set ylabel 'angular [rad/s]'\n"
     << "set xlabel 'time since the board started [s]'\n"
     << "set format x '%g'\n"
     << "plot '" << Recorder::kTruthCsv << "' using 1:9 skip 1 with lines lw 3 lc rgb '#bbbbbb' "
     << "title 'true (board)', \\\n"
     << "     '" << Recorder::kCommandCsv << "' using 1:4 skip 1 with steps lw 2 lc rgb '#ff7f0e' "
     << "title 'commanded va', \\\n"
     << "     '" << Recorder::kVelocityCsv << "' using 1:5 skip 1 with lines lw 1 lc rgb '#1f63b4' "
     << "title 'measured va'\n"
     << "unset multiplot\n";
  return gp.str();
}

}  // namespace

std::string findGnuplot(std::string* error) {
  const std::string gnuplot = tolvarine_tools::findProgram("gnuplot");
  if (gnuplot.empty()) {
    *error =
        "gnuplot is not installed (Debian package gnuplot-nox; bash scripts/install-deps.sh "
        "installs it)";
    return gnuplot;
  }
  ChildProcess probe;
  std::string why;
  if (!probe.start({gnuplot, "-e", "set terminal pngcairo"}, "", "/dev/null", &why) ||
      !probe.waitFor(10s) || !probe.exitedCleanly()) {
    *error = "gnuplot at " + gnuplot +
             " cannot draw PNG files (it needs the pngcairo terminal, as in Debian's gnuplot-nox)" +
             (why.empty() ? "" : ": " + why);
    return std::string();
  }
  return gnuplot;
}

bool drawPlots(const std::string& gnuplot, const std::string& folder, const PathEnds& ends,
               const std::string& log, const std::function<bool()>& interrupted,
               std::string* error) {
  const auto in = [&folder](const char* name) {
    return (std::filesystem::path(folder) / name).string();
  };
  {
    std::ofstream path(in(kPathScript));
    path << pathPlotScript(ends);
    std::ofstream velocity(in(kVelocityScript));
    velocity << velocityPlotScript();
  }
  for (const char* script : {kPathScript, kVelocityScript}) {
    ChildProcess run;
    if (!run.start({gnuplot, script}, folder, log, error)) {
      return false;
    }
    while (!run.waitFor(100ms)) {
      if (interrupted()) {
        run.stop(1s);
        return false;
      }
    }
    if (!run.exitedCleanly()) {
      *error = "gnuplot " + run.describeEnd() + " on " + in(script);
      return false;
    }
  }
  for (const char* png : {kPathPlot, kVelocityPlot}) {
    std::error_code ec;
    if (std::filesystem::file_size(in(png), ec) == 0 || ec) {
      *error = "gnuplot wrote no " + in(png);
      return false;
    }
  }
  return true;
}

}  // namespace tolvarine_demo
