// tolvarine-demo: drives the simulated wheelchair through the RT component
// and shows where it went.
//
// The simulated control board runs in this process (so its true pose is at
// hand); the component runs as a child process configured the OpenRTM-aist
// way (rtc.conf plus a component configuration file) and is driven over a
// control socket: velocity commands into "VelocityIn", the samples of
// "VelocityOut" and "OdmetoryOut" recorded as they come. On the stand-in the
// socket is the component host's own; on OpenRTM-aist it is the driver
// component's (tolvarine-rtm-driver), whose ports are connected to the
// wheelchair's through a naming service, so every command and sample goes
// through the real middleware.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tolvarine_control/client.h>
#include "child_process.h"
#include "command_line.h"
#include "demo_options.h"
#include "drive_script.h"
#include "openrtm_session.h"
#include "plots.h"
#include "stop_signals.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolvarine_board_sim::ChairState;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_tools::ChildProcess;
using ControlConnection = tolvarine_control::Client;
using tolvarine_control::Json;
using tolvarine_demo::Options;
using tolvarine_tools::OpenRtmSession;
using tolvarine_tools::Segment;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "tolvarine-demo";
constexpr const char* kInstance = "TolvarineContorollerModule0";
constexpr double kPi = 3.14159265358979323846;

// A peer refreshes its command regularly; the component keeps the last one
// between samples anyway.
constexpr auto kCommandPeriod = 100ms;
constexpr auto kTruthPeriod = 10ms;
// Handshake (at most 10 s) plus the controller's 2 s settling pause, with room.
constexpr auto kActivationTimeout = 30s;
constexpr auto kSocketTimeout = 15s;
constexpr auto kRequestTimeout = 5s;
constexpr auto kDeactivationTimeout = 15s;
constexpr auto kExitTimeout = 10s;

// Output files, all in the output folder.
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

#if defined(TOLVARINE_DEMO_OPENRTM_COMPONENT)
constexpr const char* kOpenRtmComponent = TOLVARINE_DEMO_OPENRTM_COMPONENT;
constexpr const char* kOpenRtmDriver = TOLVARINE_DEMO_OPENRTM_DRIVER;
constexpr const char* kOpenRtmVersion = TOLVARINE_DEMO_OPENRTM_VERSION;
#else
constexpr const char* kOpenRtmComponent = "";
constexpr const char* kOpenRtmDriver = "";
constexpr const char* kOpenRtmVersion = "";
#endif

std::atomic<int> g_signals{0};

extern "C" void onSignal(int) {
  g_signals.fetch_add(1);
}

bool interrupted() {
  return g_signals.load() > 0;
}

// ---- Small helpers ------------------------------------------------------------

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double degrees(double radians) {
  return radians * 180.0 / kPi;
}

double wrapAngle(double radians) {
  return std::remainder(radians, 2.0 * kPi);
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

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

// The last `count` lines of a file.
std::vector<std::string> tailLines(const std::string& path, std::size_t count) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
    if (lines.size() > count) {
      lines.erase(lines.begin());
    }
  }
  return lines;
}

bool fileContains(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// A CSV file written by one thread; each line is flushed so that a run that
// ends early leaves complete lines.
class CsvFile {
 public:
  bool open(const std::string& path, const char* header) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
      return false;
    }
    std::fprintf(file_, "%s\n", header);
    return true;
  }
  ~CsvFile() { close(); }
  void close() {
    if (file_ != nullptr) {
      std::fclose(file_);
      file_ = nullptr;
    }
  }
  void line(const std::string& text) {
    if (file_ != nullptr) {
      std::fputs(text.c_str(), file_);
      std::fputc('\n', file_);
      std::fflush(file_);
    }
  }

 private:
  std::FILE* file_ = nullptr;
};

struct PoseSample {
  double time = 0.0;  // s since the board started
  double x = 0.0, y = 0.0, heading = 0.0;
};

// ---- The demo -------------------------------------------------------------------

class Demo {
 public:
  explicit Demo(const Options& options) : options_(options) {}
  ~Demo() { teardown(); }

  int run();

 private:
  int fail(const std::string& message);
  int failWithLog(const std::string& message);
  int interruptedExit();

  bool checkPrograms();
  bool prepareFolders();
  bool startBoard();
  bool writeConfiguration();
  bool startComponent();
  bool connectControl();
  bool activate();
  bool drive();
  bool deactivateAndShutDown();
  void stopRecorders();
  bool checkBoardRecord();
  bool drawPlots();
  void printSummary();
  void teardown();
  std::string rtcConf() const;

  void truthLoop();
  void eventLoop();
  std::string out(const char* name) const { return (outputDir_ / name).string(); }
  void progress(const std::string& text);
  std::string poseText(double x, double y, double theta) const;

  Options options_;
  std::vector<Segment> script_;
  std::string gnuplot_;
  fs::path outputDir_;
  std::string runtimeDir_;
  std::string socketPath_;
  std::string linkPath_;

  SimulatedBoard board_;
  bool boardStarted_ = false;
  Clock::time_point origin_;  // the board's simulated time 0

  ChildProcess component_;                   // on the stand-in
  std::unique_ptr<OpenRtmSession> session_;  // on OpenRTM-aist
  ChildProcess& component() { return session_ ? session_->component() : component_; }
  ControlConnection control_;
  ControlConnection events_;
  bool active_ = false;
  bool shutDown_ = false;

  std::thread truthThread_;
  std::thread eventThread_;
  std::atomic<bool> stopTruth_{false};
  std::atomic<bool> stopEvents_{false};

  CsvFile commandCsv_;
  CsvFile velocityCsv_;
  CsvFile odometryCsv_;
  CsvFile truthCsv_;

  // Shared with the recorder threads.
  std::mutex mutex_;
  PoseSample lastOdometry_;
  ChairState lastTruth_;
  std::size_t odometrySamples_ = 0;
  std::size_t velocitySamples_ = 0;
  std::size_t truthSamples_ = 0;
  std::uint64_t droppedSamples_ = 0;
  double odometryPath_ = 0.0;
  double firstSampleTime_ = -1.0;
  double lastSampleTime_ = -1.0;
  bool hostSaidShutdown_ = false;

  std::size_t commandsSent_ = 0;
  double activationSeconds_ = 0.0;
  std::size_t framesReceived_ = 0;
  std::uint64_t badFrames_ = 0;
  std::uint64_t repliesSent_ = 0;
  bool recordWritten_ = false;
  bool recordEndsWithStop_ = false;
  std::string lastFrameText_;
};

int Demo::fail(const std::string& message) {
  std::cerr << kProgram << ": error: " << message << std::endl;
  teardown();
  if (interrupted()) {
    return interruptedExit();
  }
  return 1;
}

// A failure the component's console explains better than we can.
int Demo::failWithLog(const std::string& message) {
  const std::string log = out(kComponentLog);
  std::string hint;
  if (fileContains(log, "ポートオープン失敗")) {
    hint = "the serial device could not be opened";
  } else if (fileContains(log, "connection failture")) {
    hint = "the board did not answer the handshake within 10 s";
  }
  std::cerr << kProgram << ": error: " << message << (hint.empty() ? "" : ": " + hint) << std::endl;
  std::cerr << kProgram << ": last lines of " << log << ":" << std::endl;
  for (const std::string& line : tailLines(log, 8)) {
    std::cerr << "  | " << line << std::endl;
  }
  teardown();
  return interrupted() ? interruptedExit() : 1;
}

int Demo::interruptedExit() {
  teardown();
  std::cerr << kProgram << ": interrupted; the chair was stopped, the component shut down "
            << "and the socket and device link removed. Recorded so far: " << outputDir_.string()
            << std::endl;
  return 130;
}

void Demo::progress(const std::string& text) {
  std::cout << text << std::endl;
}

std::string Demo::poseText(double x, double y, double theta) const {
  return format("x %7.3f m  y %7.3f m  heading %7.1f deg", x, y, degrees(theta));
}

int Demo::run() {
  script_ = options_.shortForm ? tolvarine_tools::shortScript() : tolvarine_tools::fullScript();
  if (options_.duration) {
    script_ = tolvarine_tools::scaledTo(script_, *options_.duration);
  }
  if (!checkPrograms() || !prepareFolders()) {
    return fail("cannot start (see above)");
  }
  if (!startBoard() || !writeConfiguration()) {
    return fail("cannot start (see above)");
  }
  if (!startComponent()) {
    return failWithLog("the component did not start");
  }
  if (!connectControl()) {
    return interrupted() ? interruptedExit() : failWithLog("cannot talk to the component");
  }
  if (!activate()) {
    return interrupted() ? interruptedExit() : failWithLog("the component did not activate");
  }
  if (!drive()) {
    return interrupted() ? interruptedExit() : failWithLog("the drive did not complete");
  }
  if (!deactivateAndShutDown()) {
    return interrupted() ? interruptedExit()
                         : failWithLog("the component did not shut down cleanly");
  }
  stopRecorders();
  if (interrupted()) {
    return interruptedExit();
  }
  checkBoardRecord();
  teardown();
  if (!drawPlots()) {
    return interrupted() ? interruptedExit() : fail("gnuplot failed; see " + out(kPlotLog));
  }
  printSummary();
  if (!recordEndsWithStop_) {
    return fail("the board's record does not end with the stop command (last frame " +
                lastFrameText_ + ")");
  }
  return 0;
}

bool Demo::checkPrograms() {
  if (options_.openrtm && *kOpenRtmComponent == '\0') {
    std::cerr << kProgram << ": this build has no OpenRTM-aist: configure it where CMake finds "
              << "one (CMAKE_PREFIX_PATH=<its prefix>), or leave --middleware at standin"
              << std::endl;
    return false;
  }
  if (options_.component.empty()) {
    options_.component = options_.openrtm ? kOpenRtmComponent : TOLVARINE_DEMO_COMPONENT;
  }
  if (options_.openrtm && ::access(kOpenRtmDriver, X_OK) != 0) {
    std::cerr << kProgram << ": the driver component " << kOpenRtmDriver
              << " is missing (build the target tolvarine-rtm-driver)" << std::endl;
    return false;
  }
  if (::access(options_.component.c_str(), X_OK) != 0) {
    std::cerr << kProgram << ": the component executable " << options_.component
              << " is missing or not executable (build the target TolvarineContorollerModuleComp"
              << ", or name it with --component PATH)" << std::endl;
    return false;
  }
  gnuplot_ = tolvarine_tools::findProgram("gnuplot");
  if (gnuplot_.empty()) {
    std::cerr << kProgram << ": gnuplot is not installed (Debian package gnuplot-nox; "
              << "bash scripts/install-deps.sh installs it)" << std::endl;
    return false;
  }
  // Fail now rather than after a minute of driving.
  ChildProcess probe;
  std::string error;
  if (!probe.start({gnuplot_, "-e", "set terminal pngcairo"}, "", "/dev/null", &error) ||
      !probe.waitFor(10s) || !probe.exitedCleanly()) {
    std::cerr << kProgram << ": gnuplot at " << gnuplot_
              << " cannot draw PNG files (it needs the pngcairo terminal, as in Debian's "
              << "gnuplot-nox)" << (error.empty() ? "" : ": " + error) << std::endl;
    return false;
  }
  return true;
}

bool Demo::prepareFolders() {
  std::error_code ec;
  fs::create_directories(options_.output, ec);
  outputDir_ = fs::absolute(options_.output, ec);
  if (ec || !fs::is_directory(outputDir_)) {
    std::cerr << kProgram << ": cannot create the output folder " << options_.output
              << (ec ? ": " + ec.message() : std::string()) << std::endl;
    return false;
  }
  // Results of an earlier run must not pass for this one's.
  for (const char* name :
       {kRtcConf, kComponentConf, kComponentLog, kCommandCsv, kVelocityCsv, kOdometryCsv, kTruthCsv,
        kFramesCsv, kPathPlot, kVelocityPlot, kPathScript, kVelocityScript, kPlotLog}) {
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
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tolvarine-demo.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::cerr << kProgram << ": cannot create a folder for the socket (" << pattern
              << "): " << std::strerror(errno) << std::endl;
    return false;
  }
  runtimeDir_ = pattern;
  socketPath_ = runtimeDir_ + "/component.sock";
  linkPath_ = runtimeDir_ + "/chair";

  const bool opened =
      commandCsv_.open(out(kCommandCsv), "time_s,vx_mps,vy_mps,va_radps,segment") &&
      velocityCsv_.open(out(kVelocityCsv), "time_s,stamp_s,vx_mps,vy_mps,va_radps") &&
      odometryCsv_.open(out(kOdometryCsv), "time_s,stamp_s,x_m,y_m,heading_rad") &&
      truthCsv_.open(out(kTruthCsv),
                     "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps,v_mps,w_radps");
  if (!opened) {
    std::cerr << kProgram << ": cannot write into " << outputDir_.string() << ": "
              << std::strerror(errno) << std::endl;
    return false;
  }
  return true;
}

bool Demo::startBoard() {
  std::string error;
  if (!board_.start(&error)) {
    std::cerr << kProgram << ": cannot start the simulated board: " << error << std::endl;
    return false;
  }
  boardStarted_ = true;
  origin_ = board_.startedAt();
  if (options_.silentBoard) {
    board_.setSilent(true);
  }
  if (!board_.createLink(linkPath_, &error)) {
    std::cerr << kProgram << ": cannot link the board's device: " << error << std::endl;
    return false;
  }
  truthThread_ = std::thread(&Demo::truthLoop, this);
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
      std::cerr << kProgram << ": cannot write " << out(kRtcConf) << std::endl;
      return false;
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
  if (!conf) {
    std::cerr << kProgram << ": cannot write the configuration into " << outputDir_.string()
              << std::endl;
    return false;
  }
  return true;
}

bool Demo::startComponent() {
  std::string error;
  if (options_.openrtm) {
    session_ = std::make_unique<OpenRtmSession>(
        OpenRtmSession::Programs{options_.component, kOpenRtmDriver}, outputDir_.string(),
        [] { return interrupted(); });
    if (!session_->startNamingService(&error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return false;
    }
    progress(format("naming service (omniNames) on 127.0.0.1:%d", session_->namingPort()));
    if (!session_->startComponent(rtcConf(), kSocketTimeout, &error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return false;
    }
    progress(
        format("component on OpenRTM-aist %s started (pid %d), registered as %s/%s.rtc; "
               "console in %s",
               kOpenRtmVersion, static_cast<int>(component().pid()),
               OpenRtmSession::hostContext().c_str(), kInstance, out(kComponentLog).c_str()));
    if (!session_->startDriver(false, kSocketTimeout, &error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return false;
    }
    socketPath_ = session_->driverSocket();
    progress(
        "driver component started, its ports connected to the wheelchair's by rtc.conf "
        "(driver.conf)");
    return true;
  }
  if (!component_.start({options_.component, "-f", out(kRtcConf)}, outputDir_.string(),
                        out(kComponentLog), &error)) {
    std::cerr << kProgram << ": " << error << std::endl;
    return false;
  }
  progress("component started (pid " + std::to_string(component().pid()) + "), console in " +
           out(kComponentLog));
  return true;
}

bool Demo::connectControl() {
  const auto deadline = Clock::now() + kSocketTimeout;
  std::string error;
  while (!control_.connect(socketPath_, kRequestTimeout, &error)) {
    if (!component().running()) {
      std::cerr << kProgram << ": the component " << component().describeEnd()
                << " before its control socket opened" << std::endl;
      return false;
    }
    if (interrupted()) {
      return false;
    }
    if (Clock::now() >= deadline) {
      std::cerr << kProgram << ": the component's control socket " << socketPath_
                << " did not open within " << kSocketTimeout.count() << " s: " << error
                << std::endl;
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  control_.setAbortCheck([] { return interrupted(); });

  // The driver lists the wheelchair once the middleware has connected their
  // ports, a moment after its socket opens; the stand-in's host at once.
  Json reply;
  bool found = false;
  while (!found) {
    if (!control_.request({{"cmd", "list"}}, reply, kRequestTimeout, &error)) {
      std::cerr << kProgram << ": list: " << error << std::endl;
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
    std::cerr << kProgram << ": the host does not run " << kInstance << ": " << reply.dump()
              << std::endl;
    return false;
  }
  // Samples go to a connection of their own, so that requests and their
  // replies never queue behind them.
  if (!events_.connect(socketPath_, kRequestTimeout, &error) ||
      !events_.request({{"cmd", "subscribe"}, {"ports", {"VelocityOut", "OdmetoryOut"}}}, reply,
                       kRequestTimeout, &error) ||
      !reply.value("ok", false)) {
    std::cerr << kProgram
              << ": cannot subscribe to the out-ports: " << (error.empty() ? reply.dump() : error)
              << std::endl;
    return false;
  }
  eventThread_ = std::thread(&Demo::eventLoop, this);
  return true;
}

bool Demo::activate() {
  progress("activating: the component opens " + linkPath_ +
           ", waits for the board's answer (at most 10 s), then settles for 2 s");
  const auto start = Clock::now();
  Json reply;
  std::string error;
  if (!control_.request({{"cmd", "activate"}, {"component", kInstance}}, reply, kActivationTimeout,
                        &error)) {
    std::cerr << kProgram << ": activate: " << error << std::endl;
    return false;
  }
  activationSeconds_ = seconds(Clock::now() - start);
  if (!reply.value("ok", false) || reply.value("state", "") != "ACTIVE") {
    std::cerr << kProgram << ": activate refused: " << reply.value("error", reply.dump())
              << " (state " << reply.value("state", "?") << ", result "
              << reply.value("result", "?") << ")" << std::endl;
    return false;
  }
  active_ = true;
  progress(format("active after %.1f s", activationSeconds_));
  return true;
}

bool Demo::drive() {
  const double total = tolvarine_tools::scriptSeconds(script_);
  progress(format("driving the script: %zu moves, %.0f s", script_.size(), total));
  const auto start = Clock::now();
  std::size_t current = script_.size();
  double segmentEnd = 0.0;
  for (;;) {
    if (interrupted()) {
      return false;
    }
    const auto now = Clock::now();
    const double t = seconds(now - start);
    if (t >= total) {
      break;
    }
    const std::size_t index = tolvarine_tools::segmentAt(script_, t);
    const Segment& segment = script_[index];
    if (index != current) {
      current = index;
      segmentEnd = 0.0;
      for (std::size_t i = 0; i <= index; ++i) {
        segmentEnd += script_[i].seconds;
      }
      PoseSample odometry;
      ChairState truth;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        odometry = lastOdometry_;
        truth = lastTruth_;
      }
      progress(format("[%5.1f s] %-44s odometry %s | truth %s", t, segment.what.c_str(),
                      poseText(odometry.x, odometry.y, odometry.heading).c_str(),
                      poseText(truth.pose.x, truth.pose.y, truth.pose.theta).c_str()));
    }

    const Json request = {
        {"cmd", "write"},
        {"port", "VelocityIn"},
        {"component", kInstance},
        {"sample", {{"data", {{"vx", segment.linear}, {"vy", 0.0}, {"va", segment.angular}}}}}};
    const double sentAt = seconds(Clock::now() - origin_);
    Json reply;
    std::string error;
    if (!control_.request(request, reply, kRequestTimeout, &error)) {
      std::cerr << kProgram << ": writing to VelocityIn: " << error << std::endl;
      return false;
    }
    if (!reply.value("ok", false)) {
      std::cerr << kProgram << ": VelocityIn refused the sample: " << reply.dump() << std::endl;
      return false;
    }
    ++commandsSent_;
    commandCsv_.line(format("%.4f,%.4f,%.4f,%.4f,\"%s\"", sentAt, segment.linear, 0.0,
                            segment.angular, segment.what.c_str()));
    if (!component().running()) {
      std::cerr << kProgram << ": the component " << component().describeEnd() << std::endl;
      return false;
    }
    // The next command is due one period on, or at once when the move changes.
    const auto boundary = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(segmentEnd));
    sleepUntil(std::min(now + kCommandPeriod, boundary));
  }
  return true;
}

bool Demo::deactivateAndShutDown() {
  progress("script done; deactivating (the controller stops the wheels and closes the link)");
  Json reply;
  std::string error;
  if (!control_.request({{"cmd", "deactivate"}, {"component", kInstance}}, reply,
                        kDeactivationTimeout, &error)) {
    std::cerr << kProgram << ": deactivate: " << error << std::endl;
    return false;
  }
  if (!reply.value("ok", false)) {
    std::cerr << kProgram << ": deactivate refused: " << reply.value("error", reply.dump())
              << std::endl;
    return false;
  }
  active_ = false;
  if (options_.openrtm) {
    // Ctrl-C's way: the middleware finalizes the component and unbinds it.
    component().signal(SIGINT);
  } else if (!control_.request({{"cmd", "shutdown"}}, reply, kRequestTimeout, &error) ||
             !reply.value("ok", false)) {
    std::cerr << kProgram << ": shutdown: " << (error.empty() ? reply.dump() : error) << std::endl;
    return false;
  }
  shutDown_ = true;
  if (!component().waitFor(kExitTimeout)) {
    std::cerr << kProgram << ": the component did not exit within " << kExitTimeout.count()
              << " s of the shutdown request" << std::endl;
    return false;
  }
  if (!component().exitedCleanly()) {
    std::cerr << kProgram << ": the component " << component().describeEnd() << std::endl;
    return false;
  }
  progress("component shut down (" + component().describeEnd() + ")");
  if (options_.openrtm) {
    if (!session_->waitForName(std::string(kInstance) + ".rtc", false, kExitTimeout, &error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return false;
    }
    progress(std::string(kInstance) + ".rtc unbound from the naming service");
    if (!control_.request({{"cmd", "shutdown"}}, reply, kRequestTimeout, &error) ||
        !session_->driver().waitFor(kExitTimeout)) {
      std::cerr << kProgram << ": the driver did not shut down: " << error << std::endl;
      return false;
    }
  }
  return true;
}

void Demo::stopRecorders() {
  stopEvents_ = true;
  if (eventThread_.joinable()) {
    eventThread_.join();
  }
  events_.close();
  control_.close();
  // The component has closed the device, so the final stop frame is in.
  stopTruth_ = true;
  if (truthThread_.joinable()) {
    truthThread_.join();
  }
  commandCsv_.close();
  velocityCsv_.close();
  odometryCsv_.close();
  truthCsv_.close();
}

bool Demo::checkBoardRecord() {
  recordWritten_ = true;
  const auto frames = board_.frames();
  framesReceived_ = frames.size();
  badFrames_ = board_.badFrameCount();
  repliesSent_ = board_.replyCount();
  CsvFile csv;
  csv.open(out(kFramesCsv), "time_s,bytes,valid");
  const tolvarine_board_sim::ReceivedFrame* last = nullptr;
  std::string lines;
  for (const auto& f : frames) {
    std::string hex;
    for (std::size_t i = 0; i < f.bytes.size(); ++i) {
      hex += format(i == 0 ? "%02x" : " %02x", f.bytes[i]);
    }
    lines += format("%.4f,%s,%d\n", seconds(f.at - origin_), hex.c_str(), f.valid ? 1 : 0);
    if (f.valid) {
      last = &f;
    }
  }
  if (!lines.empty()) {
    lines.pop_back();
  }
  csv.line(lines);
  csv.close();
  if (last == nullptr) {
    lastFrameText_ = "none";
    return false;
  }
  // Both direction bytes "stop" (0x30) and both speeds 0.
  const auto& b = last->bytes;
  lastFrameText_ = format("%02x %02x %02x %02x", b[1], b[2], b[3], b[4]);
  recordEndsWithStop_ = b[1] == 0x30 && b[2] == 0x30 && b[3] == 0 && b[4] == 0;
  return recordEndsWithStop_;
}

bool Demo::drawPlots() {
  progress("drawing " + out(kPathPlot) + " and " + out(kVelocityPlot) + " with gnuplot");
  tolvarine_tools::PathEnds ends;
  ends.truthX = lastTruth_.pose.x;
  ends.truthY = lastTruth_.pose.y;
  ends.odometryX = lastOdometry_.x;
  ends.odometryY = lastOdometry_.y;
  {
    std::ofstream path(out(kPathScript));
    path << tolvarine_tools::pathPlotScript(kTruthCsv, kOdometryCsv, ends, kPathPlot);
    std::ofstream velocity(out(kVelocityScript));
    velocity << tolvarine_tools::velocityPlotScript(kCommandCsv, kVelocityCsv, kTruthCsv,
                                                    kVelocityPlot);
  }
  for (const char* script : {kPathScript, kVelocityScript}) {
    ChildProcess gnuplot;
    std::string error;
    if (!gnuplot.start({gnuplot_, script}, outputDir_.string(), out(kPlotLog), &error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return false;
    }
    while (!gnuplot.waitFor(100ms)) {
      if (interrupted()) {
        gnuplot.stop(1s);
        return false;
      }
    }
    if (!gnuplot.exitedCleanly()) {
      std::cerr << kProgram << ": gnuplot " << gnuplot.describeEnd() << " on " << out(script)
                << std::endl;
      return false;
    }
  }
  for (const char* png : {kPathPlot, kVelocityPlot}) {
    std::error_code ec;
    if (fs::file_size(outputDir_ / png, ec) == 0 || ec) {
      std::cerr << kProgram << ": gnuplot wrote no " << out(png) << std::endl;
      return false;
    }
  }
  return true;
}

void Demo::printSummary() {
  const auto& truth = lastTruth_.pose;
  const PoseSample& odo = lastOdometry_;
  const double dx = odo.x - truth.x;
  const double dy = odo.y - truth.y;
  const double positionError = std::hypot(dx, dy);
  const double headingError = wrapAngle(odo.heading - truth.theta);
  const double span = lastSampleTime_ - firstSampleTime_;
  const double cycleRate = odometrySamples_ > 1 && span > 0.0 ? (odometrySamples_ - 1) / span : 0.0;

  std::ostringstream s;
  s << "\nsummary\n"
    << "  middleware:        "
    << (options_.openrtm
            ? format("OpenRTM-aist %s; commands and samples through the driver component, "
                     "connected by the middleware",
                     kOpenRtmVersion)
            : std::string("the in-tree stand-in; commands and samples over its control socket"))
    << "\n"
    << format("  distance driven:   %.2f m (ground truth); odometry path %.2f m\n", truth.distance,
              odometryPath_)
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
           odometrySamples_, velocitySamples_, cycleRate, options_.rate,
           droppedSamples_ > 0
               ? format(", %llu dropped", static_cast<unsigned long long>(droppedSamples_)).c_str()
               : "")
    << format(
           "  frames:            %zu command frames received by the board (%llu bad), "
           "%llu status frames sent; last command: %s\n",
           framesReceived_, static_cast<unsigned long long>(badFrames_),
           static_cast<unsigned long long>(repliesSent_),
           recordEndsWithStop_ ? "stop" : ("NOT a stop: " + lastFrameText_).c_str())
    << format(
           "  commands:          %zu VelocityIn samples sent (every %lld ms); activation "
           "took %.1f s\n",
           commandsSent_, static_cast<long long>(kCommandPeriod.count()), activationSeconds_)
    << "  files in " << outputDir_.string() << ":\n"
    << "    " << kPathPlot << ", " << kVelocityPlot << "   the two plots\n"
    << "    " << kCommandCsv << ", " << kVelocityCsv << ", " << kOdometryCsv << ", " << kTruthCsv
    << ", " << kFramesCsv << "\n"
    << "    " << kRtcConf << ", " << kComponentConf << ", " << kComponentLog
    << "   how the component ran\n";
  std::cout << s.str() << std::flush;
}

void Demo::teardown() {
  // Stops what is still running, in the reverse order of starting; each
  // step does nothing once done.
  if (component().running()) {
    if (control_.isOpen() && !interrupted()) {
      std::string error;
      Json reply;
      if (active_) {
        control_.request({{"cmd", "deactivate"}, {"component", kInstance}}, reply,
                         kDeactivationTimeout, &error);
      }
      if (options_.openrtm) {
        component().signal(SIGINT);
      } else {
        control_.request({{"cmd", "shutdown"}}, reply, kRequestTimeout, &error);
      }
      component().waitFor(kExitTimeout);
    }
    if (component().running()) {
      // On SIGTERM the stand-in's host (on SIGINT OpenRTM-aist) deactivates
      // the component (the chair stops) and shuts down; an activation under
      // way is cut short. A second Ctrl-C ends the waiting.
      component().signal(options_.openrtm ? SIGINT : SIGTERM);
      const auto deadline = Clock::now() + kActivationTimeout;
      while (component().running() && Clock::now() < deadline && g_signals.load() < 2) {
        std::this_thread::sleep_for(20ms);
      }
      component().stop(0ms);
    }
  }
  stopEvents_ = true;
  if (eventThread_.joinable()) {
    eventThread_.join();
  }
  events_.close();
  control_.close();
  session_.reset();  // the driver and the naming service
  stopTruth_ = true;
  if (truthThread_.joinable()) {
    truthThread_.join();
  }
  if (boardStarted_) {
    if (!recordWritten_) {
      checkBoardRecord();  // what reached the board also when the run ended early
    }
    board_.stop();  // removes the link
    boardStarted_ = false;
  }
  if (!runtimeDir_.empty()) {
    std::error_code ec;
    // A host that was killed leaves its socket behind.
    fs::remove(socketPath_, ec);
    fs::remove(linkPath_, ec);
    fs::remove(runtimeDir_, ec);
    runtimeDir_.clear();
  }
}

void Demo::truthLoop() {
  auto next = origin_;
  while (!stopTruth_) {
    next += kTruthPeriod;
    const auto now = Clock::now();
    if (next < now - 10 * kTruthPeriod) {
      next = now;  // fell far behind (a stopped process): do not catch up in a burst
    }
    std::this_thread::sleep_until(next);
    const ChairState state = board_.state();
    const auto& p = state.pose;
    if (truthSamples_ > 0 && p.time <= lastTruth_.pose.time) {
      // Woken late (a loaded machine), the loop runs the missed periods at
      // once; rows of the same instant would only repeat the last one.
      continue;
    }
    const double v = 0.5 * (state.motors.right + state.motors.left);
    const double w = (state.motors.right - state.motors.left) / 0.5488;
    truthCsv_.line(format("%.3f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f", p.time, p.x, p.y, p.theta,
                          p.distance, state.motors.right, state.motors.left, v, w));
    std::lock_guard<std::mutex> lock(mutex_);
    lastTruth_ = state;
    ++truthSamples_;
  }
}

void Demo::eventLoop() {
  for (;;) {
    Json event;
    const auto r = events_.nextEvent(event, 200ms);
    if (r == ControlConnection::Read::kClosed) {
      return;
    }
    if (r != ControlConnection::Read::kLine) {
      if (stopEvents_) {
        return;
      }
      continue;
    }
    const std::string kind = event.value("event", "");
    if (kind == "shutdown") {
      std::lock_guard<std::mutex> lock(mutex_);
      hostSaidShutdown_ = true;
      return;
    }
    if (kind == "dropped") {
      std::lock_guard<std::mutex> lock(mutex_);
      droppedSamples_ += event.value("samples", 0ull);
      continue;
    }
    if (kind != "sample") {
      continue;
    }
    const double t = seconds(Clock::now() - origin_);
    const Json& sample = event["sample"];
    const Json& tm = sample["tm"];
    const double stamp = tm.value("sec", 0.0) + tm.value("nsec", 0.0) * 1e-9;
    const Json& data = sample["data"];
    const std::string port = event.value("port", "");
    if (port == "OdmetoryOut") {
      PoseSample pose;
      pose.time = t;
      pose.x = data["position"].value("x", 0.0);
      pose.y = data["position"].value("y", 0.0);
      pose.heading = data.value("heading", 0.0);
      odometryCsv_.line(format("%.4f,%.3f,%.6f,%.6f,%.6f", t, stamp, pose.x, pose.y, pose.heading));
      std::lock_guard<std::mutex> lock(mutex_);
      if (odometrySamples_ > 0) {
        odometryPath_ += std::hypot(pose.x - lastOdometry_.x, pose.y - lastOdometry_.y);
      } else {
        firstSampleTime_ = t;
      }
      lastSampleTime_ = t;
      lastOdometry_ = pose;
      ++odometrySamples_;
    } else if (port == "VelocityOut") {
      velocityCsv_.line(format("%.4f,%.3f,%.6f,%.6f,%.6f", t, stamp, data.value("vx", 0.0),
                               data.value("vy", 0.0), data.value("va", 0.0)));
      std::lock_guard<std::mutex> lock(mutex_);
      ++velocitySamples_;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app("", kProgram);
  addOptions(app, options, kOpenRtmVersion);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  tolvarine_tools::installStopHandlers(onSignal);

  Demo demo(options);
  return demo.run();
}
