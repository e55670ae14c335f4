// The files the demo writes into its output folder.
#ifndef TOLVARINE_DEMO_FILES_H
#define TOLVARINE_DEMO_FILES_H

namespace tolvarine_demo {

constexpr const char* kRtcConf = "rtc.conf";
constexpr const char* kComponentConf = "TolvarineContorollerModule.conf";
constexpr const char* kComponentLog = "component.log";
constexpr const char* kCommandCsv = "velocity_in.csv";
constexpr const char* kVelocityCsv = "velocity_out.csv";
constexpr const char* kOdometryCsv = "odometry.csv";
constexpr const char* kTruthCsv = "ground_truth.csv";
constexpr const char* kFramesCsv = "board_frames.csv";
constexpr const char* kPathPlot = "path.png";
constexpr const char* kVelocityPlot = "velocity.png";
constexpr const char* kPathScript = "path.gp";
constexpr const char* kVelocityScript = "velocity.gp";
constexpr const char* kPlotLog = "gnuplot.log";
// Written on OpenRTM-aist only.
constexpr const char* kOpenRtmFiles[] = {"driver.conf",    "driver.log", "component.rtc.log",
                                         "driver.rtc.log", "naming.log", "nameclt.out"};

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_FILES_H
