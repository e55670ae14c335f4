// The demo's text: printf-style formatting, the way a pose is shown, and the
// summary it prints at the end (the odometry against the ground truth, the
// cycles, the frames, the commands and the files). Values in, text out.
#ifndef TOLVARINE_DEMO_SUMMARY_H
#define TOLVARINE_DEMO_SUMMARY_H

#include <string>

#include "recorder.h"

namespace tolvarine_demo {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
double degrees(double radians);
// "x  0.523 m  y  0.060 m  heading    15.3 deg"
std::string poseText(double x, double y, double theta);

struct SummaryInput {
  std::string middleware;  // how commands and samples travelled
  Recorder::Figures figures;
  BoardRecord board;
  double rate = 0.0;  // the execution context's, Hz
  long long commandPeriodMs = 0;
  double activationSeconds = 0.0;
  std::string folder;  // where the files are
};

std::string summaryText(const SummaryInput& in);

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_SUMMARY_H
