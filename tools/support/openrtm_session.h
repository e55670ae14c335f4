// The wheelchair component on the real OpenRTM-aist, with what it needs
// around it: a naming service (omniNames) on a free loopback port, the
// component's process, and the driver component (tolvarine-rtm-driver),
// whose ports the driver's rtc.conf connects to the wheelchair's by
// `rtcname://` and whose control socket speaks the stand-in's protocol.
// Everything lives in one folder: configuration files, logs, the naming
// service's data and the socket. Used by the demo and the tests.
#ifndef TOLVARINE_TOOLS_OPENRTM_SESSION_H
#define TOLVARINE_TOOLS_OPENRTM_SESSION_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace tolvarine_tools {

class OpenRtmSession {
 public:
  struct Programs {
    std::string component;  // the wheelchair built against OpenRTM-aist
    std::string driver;     // tolvarine-rtm-driver, built against the same release
  };

  // Files go into `folder` (which must exist); `abort` ends every wait early
  // when it returns true.
  OpenRtmSession(const Programs& programs, const std::string& folder,
                 std::function<bool()> abort = nullptr);
  // Whatever still runs is stopped: the driver, the component (SIGINT, then
  // SIGKILL after a grace period), the naming service.
  ~OpenRtmSession();
  OpenRtmSession(const OpenRtmSession&) = delete;
  OpenRtmSession& operator=(const OpenRtmSession&) = delete;

  // Starts omniNames on a free port of 127.0.0.1; true once it accepts
  // connections. Needs omniNames and nameclt on $PATH (Debian packages
  // omniorb-nameserver and omniorb).
  bool startNamingService(std::string* error);
  int namingPort() const { return port_; }

  // rtc.conf lines for a process of this session: the naming service, CORBA
  // on loopback only, the middleware's log into folder/<logName>.
  std::string commonConf(const std::string& logName) const;

  // Writes `rtcConf` (after commonConf("component.rtc.log")) to
  // folder/rtc.conf, starts the component with -f on it, its console into
  // folder/component.log, and waits until its name is bound.
  bool startComponent(const std::string& rtcConf, std::chrono::milliseconds timeout,
                      std::string* error);
  // Starts the driver with its ports connected to the wheelchair's
  // ("RtcVelocityCommand" and "RtcVelocity", of OpenRTM-aist's own
  // RTC::TimedVelocity2D, too when `wrongTypes`), its console into
  // folder/driver.log, and waits for its control socket (in a folder of its
  // own under /tmp, as socket paths are short; removed with the session).
  bool startDriver(bool wrongTypes, std::chrono::milliseconds timeout, std::string* error);
  const std::string& driverSocket() const { return driverSocket_; }

  // The names bound in "<host>.host_cxt" of the naming service, as nameclt
  // lists them (e.g. "TolvarineContorollerModule0.rtc").
  bool boundNames(std::vector<std::string>& names, std::string* error);
  // Waits until the component's name is bound (`bound`) or no longer bound.
  bool waitForName(const std::string& name, bool bound, std::chrono::milliseconds timeout,
                   std::string* error);

  ChildProcess& component() { return component_; }
  ChildProcess& driver() { return driver_; }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }
  // "<host>.host_cxt", where the components register.
  static std::string hostContext();

 private:
  bool aborted() const { return abort_ && abort_(); }
  // Writes commonConf(logName) and `text` to folder/<name>; false with the
  // reason when it cannot.
  bool writeConf(const std::string& name, const std::string& logName, const std::string& text,
                 std::string* error) const;

  Programs programs_;
  std::string folder_;
  std::function<bool()> abort_;
  std::string omniNames_;
  std::string nameclt_;
  int port_ = 0;
  std::unique_ptr<TempDir> socketDir_;
  std::string driverSocket_;
  ChildProcess naming_;
  ChildProcess component_;
  ChildProcess driver_;
};

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_OPENRTM_SESSION_H
