// One run of the demo: the simulated board in this process (so its true
// pose is at hand), the component as a child process configured the
// OpenRTM-aist way (rtc.conf plus a component configuration file), driven
// over a control socket. On the stand-in the socket is the component host's
// own; on OpenRTM-aist it is the driver component's (tolvarine-rtm-driver),
// whose ports are connected to the wheelchair's through a naming service,
// so every command and sample goes through the real middleware.
//
// Set-up in demo_setup.cpp; the drive and the shutdown in main.cpp.
#ifndef TOLVARINE_DEMO_DEMO_H
#define TOLVARINE_DEMO_DEMO_H

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <tolvarine_control/client.h>
#include "child_process.h"
#include "demo_options.h"
#include "drive_script.h"
#include "openrtm_session.h"
#include "recorder.h"
#include "stop_signals.h"
#include "temp_dir.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_demo {

using namespace std::chrono_literals;

constexpr const char* kProgram = "tolvarine-demo";
constexpr const char* kInstance = "TolvarineContorollerModule0";

// How the component was configured, and its console, in the output folder;
// on OpenRTM-aist also the driver's and the naming service's files.
constexpr const char* kRtcConf = "rtc.conf";
constexpr const char* kComponentConf = "TolvarineContorollerModule.conf";
constexpr const char* kComponentLog = "component.log";
constexpr const char* kOpenRtmFiles[] = {"driver.conf",    "driver.log", "component.rtc.log",
                                         "driver.rtc.log", "naming.log", "nameclt.out"};

// A peer refreshes its command regularly; the component keeps the last one
// between samples anyway.
constexpr auto kCommandPeriod = 100ms;
// Handshake (at most 10 s) plus the controller's 2 s settling pause, with room.
constexpr auto kActivationTimeout = 30s;
constexpr auto kSocketTimeout = 15s;
constexpr auto kRequestTimeout = 5s;
constexpr auto kDeactivationTimeout = 15s;
constexpr auto kExitTimeout = 10s;

#if defined(TOLVARINE_DEMO_OPENRTM_COMPONENT)
constexpr const char* kOpenRtmComponent = TOLVARINE_DEMO_OPENRTM_COMPONENT;
constexpr const char* kOpenRtmDriver = TOLVARINE_DEMO_OPENRTM_DRIVER;
constexpr const char* kOpenRtmVersion = TOLVARINE_DEMO_OPENRTM_VERSION;
#else
constexpr const char* kOpenRtmComponent = "";
constexpr const char* kOpenRtmDriver = "";
constexpr const char* kOpenRtmVersion = "";
#endif

inline bool interrupted() {
  return tolvarine_tools::stopSignals() > 0;
}

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
  std::string rtcConf() const;
  bool startComponent();
  bool connectControl();
  bool activate();
  bool drive();
  // Deactivates the component when it is active and asks it to end; false,
  // with the reason said, when a request fails.
  bool endComponent();
  bool deactivateAndShutDown();
  void stopRecorders();
  void teardown();

  // A request that must succeed; false (with "tolvarine-demo: WHAT: why", or
  // "WHAT refused: why" for a refusal) otherwise.
  bool request(const char* what, const tolvarine_control::Json& request,
               tolvarine_control::Json& reply, std::chrono::milliseconds timeout);
  bool complain(const std::string& message) const;  // "tolvarine-demo: message"; false
  void progress(const std::string& text) const;
  std::string out(const char* name) const { return (outputDir_ / name).string(); }
  tolvarine_tools::ChildProcess& component() {
    return session_ ? session_->component() : component_;
  }

  Options options_;
  std::vector<tolvarine_tools::Segment> script_;
  std::string gnuplot_;
  std::filesystem::path outputDir_;
  std::unique_ptr<tolvarine_tools::TempDir> runtimeDir_;
  std::string socketPath_;
  std::string linkPath_;

  tolvarine_board_sim::SimulatedBoard board_;
  bool boardStarted_ = false;
  Recorder recorder_;
  bool recordWritten_ = false;
  BoardRecord boardRecord_;

  tolvarine_tools::ChildProcess component_;                   // on the stand-in
  std::unique_ptr<tolvarine_tools::OpenRtmSession> session_;  // on OpenRTM-aist
  tolvarine_control::Client control_;
  bool active_ = false;
  double activationSeconds_ = 0.0;
};

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_DEMO_H
