// tolvarine-demo: drives the simulated wheelchair through the RT component
// and shows where it went (see demo.h): the run, the drive, the shutdown.

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "command_line.h"
#include "demo.h"
#include "plots.h"
#include "summary.h"

namespace tolvarine_demo {
namespace {

using tolvarine_control::Json;

// Sleeps until `until`, waking early when a signal arrives.
void sleepUntil(Clock::time_point until) {
  while (!interrupted()) {
    const auto now = Clock::now();
    if (now >= until) {
      return;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, 50ms));
  }
}

}  // namespace

bool Demo::complain(const std::string& message) const {
  std::cerr << kProgram << ": " << message << std::endl;
  return false;
}

void Demo::progress(const std::string& text) const {
  std::cout << text << std::endl;
}

bool Demo::request(const char* what, const Json& request, Json& reply,
                   std::chrono::milliseconds timeout) {
  std::string error;
  if (!control_.request(request, reply, timeout, &error)) {
    return complain(std::string(what) + ": " + error);
  }
  return reply.value("ok", false) ||
         complain(std::string(what) + " refused: " + reply.value("error", reply.dump()) +
                  (reply.contains("state") ? " (state " + reply.value("state", "?") + ", result " +
                                                 reply.value("result", "?") + ")"
                                           : ""));
}

int Demo::fail(const std::string& message) {
  complain("error: " + message);
  teardown();
  if (interrupted()) {
    return interruptedExit();
  }
  return 1;
}

// A failure the component's console explains better than we can.
int Demo::failWithLog(const std::string& message) {
  if (interrupted()) {
    return interruptedExit();
  }
  const std::string log = out(kComponentLog);
  std::ifstream in(log);
  std::vector<std::string> lines;
  std::string hint;
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    if (line.find("ポートオープン失敗") != std::string::npos) {
      hint = "the serial device could not be opened";
    } else if (line.find("connection failture") != std::string::npos && hint.empty()) {
      hint = "the board did not answer the handshake within 10 s";
    }
  }
  complain("error: " + message + (hint.empty() ? "" : ": " + hint));
  complain("last lines of " + log + ":");
  for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) {
    std::cerr << "  | " << lines[i] << std::endl;
  }
  teardown();
  return interrupted() ? interruptedExit() : 1;
}

int Demo::interruptedExit() {
  teardown();
  complain(
      "interrupted; the chair was stopped, the component shut down and the socket and device "
      "link removed. Recorded so far: " +
      outputDir_.string());
  return 130;
}

int Demo::run() {
  script_ = options_.shortForm ? tolvarine_tools::shortScript() : tolvarine_tools::fullScript();
  if (options_.duration) {
    const double factor = *options_.duration / tolvarine_tools::scriptSeconds(script_);
    for (tolvarine_tools::Segment& s : script_) {
      s.seconds *= factor;
    }
  }
  if (!checkPrograms() || !prepareFolders() || !startBoard() || !writeConfiguration()) {
    return fail("cannot start (see above)");
  }
  if (!startComponent()) {
    return failWithLog("the component did not start");
  }
  if (!connectControl()) {
    return failWithLog("cannot talk to the component");
  }
  if (!activate()) {
    return failWithLog("the component did not activate");
  }
  if (!drive()) {
    return failWithLog("the drive did not complete");
  }
  if (!deactivateAndShutDown()) {
    return failWithLog("the component did not shut down cleanly");
  }
  stopRecorders();
  if (interrupted()) {
    return interruptedExit();
  }
  teardown();  // writes what reached the board

  progress("drawing " + out(kPathPlot) + " and " + out(kVelocityPlot) + " with gnuplot");
  const Recorder::Figures figures = recorder_.figures();
  const PathEnds ends{figures.truth.pose.x, figures.truth.pose.y, figures.odometry.x,
                      figures.odometry.y};
  std::string error;
  if (!drawPlots(
          gnuplot_, outputDir_.string(), ends, out(kPlotLog), [] { return interrupted(); },
          &error)) {
    if (!error.empty()) {
      complain(error);
    }
    return interrupted() ? interruptedExit() : fail("gnuplot failed; see " + out(kPlotLog));
  }
  SummaryInput summary;
  summary.middleware =
      options_.openrtm ? format(
                             "OpenRTM-aist %s; commands and samples through the driver component, "
                             "connected by the middleware",
                             kOpenRtmVersion)
                       : "the in-tree stand-in; commands and samples over its control socket";
  summary.figures = figures;
  summary.board = boardRecord_;
  summary.rate = options_.rate;
  summary.commandPeriodMs = kCommandPeriod.count();
  summary.activationSeconds = activationSeconds_;
  summary.folder = outputDir_.string();
  std::cout << summaryText(summary) << std::flush;
  if (!boardRecord_.endsWithStop) {
    return fail("the board's record does not end with the stop command (last frame " +
                boardRecord_.lastFrame + ")");
  }
  return 0;
}

bool Demo::activate() {
  progress("activating: the component opens " + linkPath_ +
           ", waits for the board's answer (at most 10 s), then settles for 2 s");
  const auto start = Clock::now();
  Json reply;
  if (!request("activate", {{"cmd", "activate"}, {"component", kInstance}}, reply,
               kActivationTimeout)) {
    return false;
  }
  activationSeconds_ = seconds(Clock::now() - start);
  if (reply.value("state", "") != "ACTIVE") {
    return complain("activate left the component " + reply.value("state", "?"));
  }
  active_ = true;
  progress(format("active after %.1f s", activationSeconds_));
  return true;
}

bool Demo::drive() {
  progress(format("driving the script: %zu moves, %.0f s", script_.size(),
                  tolvarine_tools::scriptSeconds(script_)));
  const auto start = Clock::now();
  const auto origin = recorder_.origin();
  double segmentEnd = 0.0;
  for (const tolvarine_tools::Segment& segment : script_) {
    segmentEnd += segment.seconds;
    const auto boundary = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(segmentEnd));
    const Recorder::Figures latest = recorder_.figures();
    const PoseSample& odometry = latest.odometry;
    const auto& truth = latest.truth.pose;
    progress(format("[%5.1f s] %-44s odometry %s | truth %s", seconds(Clock::now() - start),
                    segment.what.c_str(),
                    poseText(odometry.x, odometry.y, odometry.heading).c_str(),
                    poseText(truth.x, truth.y, truth.theta).c_str()));
    for (auto now = Clock::now(); now < boundary; now = Clock::now()) {
      if (interrupted()) {
        return false;
      }
      const Json command = {
          {"cmd", "write"},
          {"port", "VelocityIn"},
          {"component", kInstance},
          {"sample", {{"data", {{"vx", segment.linear}, {"vy", 0.0}, {"va", segment.angular}}}}}};
      const double sentAt = seconds(Clock::now() - origin);
      Json reply;
      if (!request("writing to VelocityIn", command, reply, kRequestTimeout)) {
        return false;
      }
      recorder_.command(sentAt, segment.linear, segment.angular, segment.what);
      if (!component().running()) {
        return complain("the component " + component().describeEnd());
      }
      // The next command is due one period on, or at once when the move changes.
      sleepUntil(std::min(now + kCommandPeriod, boundary));
    }
  }
  return !interrupted();
}

bool Demo::endComponent() {
  Json reply;
  if (active_ && !request("deactivate", {{"cmd", "deactivate"}, {"component", kInstance}}, reply,
                          kDeactivationTimeout)) {
    return false;
  }
  active_ = false;
  if (options_.openrtm) {
    // Ctrl-C's way: the middleware finalizes the component and unbinds it.
    component().signal(SIGINT);
    return true;
  }
  return request("shutdown", {{"cmd", "shutdown"}}, reply, kRequestTimeout);
}

bool Demo::deactivateAndShutDown() {
  progress("script done; deactivating (the controller stops the wheels and closes the link)");
  if (!endComponent()) {
    return false;
  }
  if (!component().waitFor(kExitTimeout)) {
    return complain("the component did not exit within " + std::to_string(kExitTimeout.count()) +
                    " s of the shutdown request");
  }
  if (!component().exitedCleanly()) {
    return complain("the component " + component().describeEnd());
  }
  progress("component shut down (" + component().describeEnd() + ")");
  if (options_.openrtm) {
    std::string error;
    if (!session_->waitForName(std::string(kInstance) + ".rtc", false, kExitTimeout, &error)) {
      return complain(error);
    }
    progress(std::string(kInstance) + ".rtc unbound from the naming service");
    Json reply;
    if (!control_.request({{"cmd", "shutdown"}}, reply, kRequestTimeout, &error) ||
        !session_->driver().waitFor(kExitTimeout)) {
      return complain("the driver did not shut down: " + error);
    }
  }
  return true;
}

void Demo::stopRecorders() {
  recorder_.stopSamples();
  control_.close();
  // The component has closed the device, so the final stop frame is in.
  recorder_.stopTruth();
}

void Demo::teardown() {
  // Stops what is still running, in the reverse order of starting; each
  // step does nothing once done.
  if (component().running()) {
    if (control_.isOpen() && !interrupted() && endComponent()) {
      component().waitFor(kExitTimeout);
    }
    if (component().running()) {
      // On SIGTERM the stand-in's host (on SIGINT OpenRTM-aist) deactivates
      // the component (the chair stops) and shuts down; an activation under
      // way is cut short. A second Ctrl-C ends the waiting.
      component().signal(options_.openrtm ? SIGINT : SIGTERM);
      const auto deadline = Clock::now() + kActivationTimeout;
      while (component().running() && Clock::now() < deadline &&
             tolvarine_tools::stopSignals() < 2) {
        std::this_thread::sleep_for(20ms);
      }
      component().stop(0ms);
    }
  }
  recorder_.stopSamples();
  control_.close();
  session_.reset();  // the driver and the naming service
  recorder_.stopTruth();
  if (boardStarted_) {
    if (!recordWritten_) {
      // What reached the board, also when the run ended early.
      boardRecord_ = recorder_.recordBoardFrames(board_, outputDir_.string());
      recordWritten_ = true;
    }
    board_.stop();  // removes the link
    boardStarted_ = false;
  }
  runtimeDir_.reset();  // with the socket a killed host leaves behind
}

}  // namespace tolvarine_demo

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  tolvarine_demo::Options options;
  CLI::App app("", tolvarine_demo::kProgram);
  addOptions(app, options, tolvarine_demo::kOpenRtmVersion);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  tolvarine_tools::installStopHandlers();

  tolvarine_demo::Demo demo(options);
  return demo.run();
}
