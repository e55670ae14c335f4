// The summary the demo prints at the end: the odometry against the ground
// truth, the cycles, the frames, the commands and the files. Values in, text out.
#ifndef TOLVARINE_DEMO_SUMMARY_H
#define TOLVARINE_DEMO_SUMMARY_H

#include <string>

#include "recorder.h"

namespace tolvarine_demo {

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
