// The demo's set-up (see demo.h).
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "demo.h"
#include "plots.h"
#include "summary.h"

namespace tolvarine_demo {

namespace fs = std::filesystem;
using tolvarine_control::Json;
using tolvarine_tools::OpenRtmSession;

bool Demo::checkPrograms() {
  if (options_.openrtm && *kOpenRtmComponent == '\0') {
    return complain(
        "this build has no OpenRTM-aist: configure it where CMake finds one "
        "(CMAKE_PREFIX_PATH=<its prefix>), or leave --middleware at standin");
  }
  if (options_.component.empty()) {
    options_.component = options_.openrtm ? kOpenRtmComponent : TOLVARINE_DEMO_COMPONENT;
  }
  if (options_.openrtm && ::access(kOpenRtmDriver, X_OK) != 0) {
    return complain(std::string("the driver component ") + kOpenRtmDriver +
                    " is missing (build the target tolvarine-rtm-driver)");
  }
  if (::access(options_.component.c_str(), X_OK) != 0) {
    return complain("the component executable " + options_.component +
                    " is missing or not executable (build the target "
                    "TolvarineContorollerModuleComp, or name it with --component PATH)");
  }
  // Fail now rather than after a minute of driving.
  std::string error;
  gnuplot_ = findGnuplot(&error);
  return !gnuplot_.empty() || complain(error);
}

bool Demo::prepareFolders() {
  std::error_code ec;
  fs::create_directories(options_.output, ec);
  outputDir_ = fs::absolute(options_.output, ec);
  if (ec || !fs::is_directory(outputDir_)) {
    return complain("cannot create the output folder " + options_.output +
                    (ec ? ": " + ec.message() : std::string()));
  }
  // Results of an earlier run must not pass for this one's.
  for (const char* name :
       {kRtcConf, kComponentConf, kComponentLog, Recorder::kCommandCsv, Recorder::kVelocityCsv,
        Recorder::kOdometryCsv, Recorder::kTruthCsv, Recorder::kFramesCsv, kPathPlot, kVelocityPlot,
        kPathScript, kVelocityScript, kPlotLog}) {
    fs::remove(outputDir_ / name, ec);
  }
  for (const char* name : kOpenRtmFiles) {
    fs::remove(outputDir_ / name, ec);
  }
  for (const auto& entry : fs::directory_iterator(outputDir_, ec)) {
    if (entry.path().filename().string().rfind("naming-", 0) == 0) {
      fs::remove_all(entry.path(), ec);  // a naming service's data
    }
  }
  // The socket and the device link live in a private folder of their own:
  // socket paths are short, and nothing of it may outlive the run.
  try {
    runtimeDir_ = std::make_unique<tolvarine_tools::TempDir>("tolvarine-demo");
  } catch (const std::runtime_error& e) {
    return complain(e.what());
  }
  socketPath_ = runtimeDir_->file("component.sock");
  linkPath_ = runtimeDir_->file("chair");
  return recorder_.open(outputDir_.string()) ||
         complain("cannot write into " + outputDir_.string() + ": " + std::strerror(errno));
}

bool Demo::startBoard() {
  std::string error;
  if (!board_.start(&error)) {
    return complain("cannot start the simulated board: " + error);
  }
  boardStarted_ = true;
  if (options_.silentBoard) {
    board_.setSilent(true);
  }
  if (!board_.createLink(linkPath_, &error)) {
    return complain("cannot link the board's device: " + error);
  }
  recorder_.recordTruth(board_);
  progress("simulated board on " + board_.devicePath() + " (link " + linkPath_ + ")" +
           (options_.silentBoard ? ", set never to answer" : ""));
  return true;
}

// The rtc.conf lines of the component's own; on OpenRTM-aist the session
// puts the naming service's in front.
std::string Demo::rtcConf() const {
  std::ostringstream rtc;
  rtc << "# rtc.conf for one run of " << kProgram << ", read by the component with -f.\n"
      << "# Cycle rate: each onExecute waits for a fresh status frame (one every 30 ms).\n"
      << "exec_cxt.periodic.rate: " << options_.rate << "\n"
      << "# The component's parameters come from its own configuration file.\n"
      << "Category.TolvarineContorollerModule.config_file: " << out(kComponentConf) << "\n";
  if (options_.openrtm) {
    rtc << "# Activated through the driver component, once the demo listens to the out-ports.\n";
  } else {
    rtc << "# Activated over the control socket, once the demo listens to the out-ports.\n"
        << "manager.standin.control_socket: " << socketPath_ << "\n";
  }
  return rtc.str();
}

bool Demo::writeConfiguration() {
  if (!options_.openrtm) {
    std::ofstream rtc(out(kRtcConf));
    rtc << rtcConf();
    if (!rtc) {
      return complain("cannot write " + out(kRtcConf));
    }
  }
  std::ofstream conf(out(kComponentConf));
  conf << "# Configuration set \"default\" of TolvarineContorollerModule for one run of "
       << kProgram << ".\n"
       << "# The simulated board's pseudo-terminal (a link that exists while the demo runs).\n"
       << "conf.default.COM_Port: " << linkPath_ << "\n"
       << "conf.default.Foward_Direction: FORWARD\n"
       << "# The command is split as v +- T w, so T = half the 0.5488 m wheel tread makes the\n"
       << "# chair turn at the commanded angular velocity.\n"
       << "conf.default.Tolvarine_Tread_meter: " << options_.tread << "\n"
       << "# The chair is brought to rest when no command has come for this long: the demo\n"
       << "# writes one every 100 ms, so only a demo that dies stops the chair this way.\n"
       << "conf.default.Command_Timeout_sec: 0.5\n"
       << "# OpenRTM-aist waits this long for an activation (default 0.5 s) before it reports\n"
       << "# it failed; the handshake and the 2 s settling pause take about 2.1 s.\n"
       << "exec_cxt.activation_timeout: 3.0\n";
  conf.close();
  return static_cast<bool>(conf) ||
         complain("cannot write the configuration into " + outputDir_.string());
}

bool Demo::startComponent() {
  std::string error;
  if (!options_.openrtm) {
    if (!component_.start({options_.component, "-f", out(kRtcConf)}, outputDir_.string(),
                          out(kComponentLog), &error)) {
      return complain(error);
    }
    progress("component started (pid " + std::to_string(component().pid()) + "), console in " +
             out(kComponentLog));
    return true;
  }
  session_ =
      std::make_unique<OpenRtmSession>(OpenRtmSession::Programs{options_.component, kOpenRtmDriver},
                                       outputDir_.string(), [] { return interrupted(); });
  if (!session_->startNamingService(&error)) {
    return complain(error);
  }
  progress(format("naming service (omniNames) on 127.0.0.1:%d", session_->namingPort()));
  if (!session_->startComponent(rtcConf(), kSocketTimeout, &error)) {
    return complain(error);
  }
  progress(format(
      "component on OpenRTM-aist %s started (pid %d), registered as %s/%s.rtc; console in %s",
      kOpenRtmVersion, static_cast<int>(component().pid()), OpenRtmSession::hostContext().c_str(),
      kInstance, out(kComponentLog).c_str()));
  if (!session_->startDriver(false, kSocketTimeout, &error)) {
    return complain(error);
  }
  socketPath_ = session_->driverSocket();
  progress(
      "driver component started, its ports connected to the wheelchair's by rtc.conf "
      "(driver.conf)");
  return true;
}

bool Demo::connectControl() {
  const auto deadline = Clock::now() + kSocketTimeout;
  std::string error;
  while (!control_.connect(socketPath_, kRequestTimeout, &error)) {
    if (!component().running()) {
      return complain("the component " + component().describeEnd() +
                      " before its control socket opened");
    }
    if (interrupted()) {
      return false;
    }
    if (Clock::now() >= deadline) {
      return complain("the component's control socket " + socketPath_ + " did not open within " +
                      std::to_string(kSocketTimeout.count()) + " s: " + error);
    }
    std::this_thread::sleep_for(20ms);
  }
  control_.setAbortCheck([] { return interrupted(); });

  // The driver lists the wheelchair once the middleware has connected their
  // ports, a moment after its socket opens; the stand-in's host at once.
  Json reply;
  bool found = false;
  while (!found) {
    if (!request("list", {{"cmd", "list"}}, reply, kRequestTimeout)) {
      return false;
    }
    for (const Json& c : reply.value("components", Json::array())) {
      if (c.value("instance", "") == kInstance) {
        found = true;
        progress(format("component %s is %s, execution context at %g Hz", kInstance,
                        c.value("state", "?").c_str(), c.value("rate", 0.0)));
      }
    }
    if (found || !options_.openrtm || interrupted() || Clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  if (!found) {
    return complain(std::string("the host does not run ") + kInstance + ": " + reply.dump());
  }
  return recorder_.recordSamples(socketPath_, &error) ||
         complain("cannot subscribe to the out-ports: " + error);
}

}  // namespace tolvarine_demo
