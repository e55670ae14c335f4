#include "summary.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "demo.h"
#include "plots.h"

namespace tolvarine_demo {

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

double degrees(double radians) {
  return radians * 180.0 / M_PI;
}

std::string poseText(double x, double y, double theta) {
  return format("x %7.3f m  y %7.3f m  heading %7.1f deg", x, y, degrees(theta));
}

std::string summaryText(const SummaryInput& in) {
  const Recorder::Figures& f = in.figures;
  const auto& truth = f.truth.pose;
  const PoseSample& odo = f.odometry;
  const double positionError = std::hypot(odo.x - truth.x, odo.y - truth.y);
  const double headingError = std::remainder(odo.heading - truth.theta, 2.0 * M_PI);
  const double cycleRate =
      f.odometrySamples > 1 && f.sampleSpan > 0.0 ? (f.odometrySamples - 1) / f.sampleSpan : 0.0;

  std::ostringstream s;
  s << "\nsummary\n"
    << "  middleware:        " << in.middleware << "\n"
    << format("  distance driven:   %.2f m (ground truth); odometry path %.2f m\n", truth.distance,
              f.odometryPath)
    << format("  final pose, truth:    %s\n", poseText(truth.x, truth.y, truth.theta).c_str())
    << format("  final pose, odometry: %s\n", poseText(odo.x, odo.y, odo.heading).c_str())
    << format("  odometry error:    position %.3f m (%.1f %% of the distance), heading %+.1f deg\n",
              positionError, truth.distance > 0.0 ? 100.0 * positionError / truth.distance : 0.0,
              degrees(headingError))
    << "                     (the board reports each wheel in whole counts of 19.53 mm/s and\n"
    << "                     carries the rest into its next report; +-1 count around\n"
    << "                     standstill reads as 0, so slow starts and stops are lost)\n"
    << format(
           "  cycles:            %zu OdmetoryOut and %zu VelocityOut samples, %.1f per s "
           "(execution context at %g Hz)%s\n",
           f.odometrySamples, f.velocitySamples, cycleRate, in.rate,
           f.droppedSamples > 0
               ? format(", %llu dropped", static_cast<unsigned long long>(f.droppedSamples)).c_str()
               : "")
    << format(
           "  frames:            %zu command frames received by the board (%llu bad), "
           "%llu status frames sent; last command: %s\n",
           in.board.frames, static_cast<unsigned long long>(in.board.bad),
           static_cast<unsigned long long>(in.board.replies),
           in.board.endsWithStop ? "stop" : ("NOT a stop: " + in.board.lastFrame).c_str())
    << format(
           "  commands:          %zu VelocityIn samples sent (every %lld ms); activation "
           "took %.1f s\n",
           f.commandsSent, in.commandPeriodMs, in.activationSeconds)
    << "  files in " << in.folder << ":\n"
    << "    " << kPathPlot << ", " << kVelocityPlot << "   the two plots\n"
    << "    " << Recorder::kCommandCsv << ", " << Recorder::kVelocityCsv << ", "
    << Recorder::kOdometryCsv << ", " << Recorder::kTruthCsv << ", " << Recorder::kFramesCsv << "\n"
    << "    " << kRtcConf << ", " << kComponentConf << ", " << kComponentLog
    << "   how the component ran\n";
  return s.str();
}

}  // namespace tolvarine_demo
