#include "openrtm_session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio.hpp>

namespace tolvarine_tools {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace asio = boost::asio;

constexpr const char* kComponent = "TolvarineContorollerModule0";
constexpr const char* kDriver = "TolvarineDriver0";

bool fail(std::string* error, const std::string& why) {
  if (error != nullptr) {
    *error = why;
  }
  return false;
}

// A port of 127.0.0.1 that nothing listens on at this moment.
int freeLoopbackPort() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io);
  boost::system::error_code ec;
  acceptor.open(asio::ip::tcp::v4(), ec);
  acceptor.bind({asio::ip::address_v4::loopback(), 0}, ec);
  return ec ? 0 : acceptor.local_endpoint(ec).port();
}

// True when something accepts connections at `endpoint`.
template <class Endpoint>
bool accepts(const Endpoint& endpoint) {
  asio::io_context io;
  typename Endpoint::protocol_type::socket socket(io);
  boost::system::error_code ec;
  socket.connect(endpoint, ec);
  return !ec;
}

}  // namespace

OpenRtmSession::OpenRtmSession(const Programs& programs, const std::string& folder,
                               std::function<bool()> abort)
    : programs_(programs), folder_(folder), abort_(std::move(abort)) {}

OpenRtmSession::~OpenRtmSession() {
  driver_.stop(2s);
  if (component_.running()) {
    // SIGINT is the middleware's own shutdown: the chair is stopped first.
    component_.signal(SIGINT);
    if (!component_.waitFor(15s)) {
      component_.stop(0ms);
    }
  }
  naming_.stop(2s);
}

std::string OpenRtmSession::hostContext() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return std::string(host) + ".host_cxt";
}

bool OpenRtmSession::startNamingService(std::string* error) {
  omniNames_ = findProgram("omniNames");
  nameclt_ = findProgram("nameclt");
  if (omniNames_.empty() || nameclt_.empty()) {
    return fail(error,
                "omniNames or nameclt is not installed (Debian packages omniorb-nameserver and "
                "omniorb; bash scripts/install-deps.sh installs them)");
  }
  // The port was free a moment ago; should another program take it first,
  // omniNames ends and the next port is tried.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int port = freeLoopbackPort();
    const std::string data = file("naming-" + std::to_string(port));
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    const std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port);
    if (port == 0 || !naming_.start({omniNames_, "-start", std::to_string(port), "-always",
                                     "-datadir", data, "-ORBendPoint", endpoint},
                                    folder_, file("naming.log"), error)) {
      continue;
    }
    const auto deadline = Clock::now() + 10s;
    const asio::ip::tcp::endpoint listening(asio::ip::address_v4::loopback(), port);
    while (naming_.running() && !accepts(listening) && Clock::now() < deadline && !aborted()) {
      std::this_thread::sleep_for(20ms);
    }
    if (naming_.running() && accepts(listening)) {
      port_ = port;
      return true;
    }
    naming_.stop(1s);
    if (aborted()) {
      return fail(error, "interrupted");
    }
  }
  return fail(error, "omniNames did not start; see " + file("naming.log"));
}

std::string OpenRtmSession::commonConf(const std::string& logName) const {
  std::ostringstream conf;
  conf << "# The session's own naming service; CORBA on the loopback interface only.\n"
       << "corba.nameservers: 127.0.0.1:" << port_ << "\n"
       << "corba.endpoints: 127.0.0.1:\n"
       << "naming.formats: %h.host_cxt/%n.rtc\n"
       << "logger.file_name: " << file(logName) << "\n";
  return conf.str();
}

bool OpenRtmSession::writeConf(const std::string& name, const std::string& logName,
                               const std::string& text, std::string* error) const {
  std::ofstream conf(file(name));
  conf << commonConf(logName) << text;
  return static_cast<bool>(conf) || fail(error, "cannot write " + file(name));
}

bool OpenRtmSession::startComponent(const std::string& rtcConf, std::chrono::milliseconds timeout,
                                    std::string* error) {
  if (!writeConf("rtc.conf", "component.rtc.log", rtcConf, error) ||
      !component_.start({programs_.component, "-f", file("rtc.conf")}, folder_,
                        file("component.log"), error)) {
    return false;
  }
  return waitForName(std::string(kComponent) + ".rtc", true, timeout, error);
}

bool OpenRtmSession::startDriver(bool wrongTypes, std::chrono::milliseconds timeout,
                                 std::string* error) {
  // Socket paths are short; the folder may not be.
  try {
    socketDir_ = std::make_unique<TempDir>("tolvarine-driver");
  } catch (const std::runtime_error& e) {
    return fail(error, e.what());
  }
  driverSocket_ = socketDir_->file("driver.sock");
  const std::string peer =
      "rtcname://127.0.0.1:" + std::to_string(port_) + "/" + hostContext() + "/" + kComponent;
  std::vector<std::pair<const char*, const char*>> links = {
      {"VelocityCommand", "VelocityIn"}, {"Velocity", "VelocityOut"}, {"Odometry", "OdmetoryOut"}};
  if (wrongTypes) {
    links.push_back({"RtcVelocityCommand", "VelocityIn"});
    links.push_back({"RtcVelocity", "VelocityOut"});
  }
  std::string preconnect;
  for (const auto& link : links) {
    preconnect += (preconnect.empty() ? "" : ", ") + std::string(kDriver) + "." + link.first +
                  "?port=" + peer + "." + link.second;
  }
  std::ostringstream conf;
  conf << "# Often enough that no in-port buffer fills up between two reads.\n"
       << "exec_cxt.periodic.rate: 100\n"
       << "manager.components.preactivation: " << kDriver << "\n"
       << "manager.components.preconnect: " << preconnect << "\n"
       << "tolvarine.driver.control_socket: " << driverSocket_ << "\n";
  if (!writeConf("driver.conf", "driver.rtc.log", conf.str(), error) ||
      !driver_.start({programs_.driver, "-f", file("driver.conf")}, folder_, file("driver.log"),
                     error)) {
    return false;
  }
  const auto deadline = Clock::now() + timeout;
  while (!accepts(asio::local::stream_protocol::endpoint(driverSocket_))) {
    if (!driver_.running()) {
      return fail(error, "the driver " + driver_.describeEnd() + "; see " + file("driver.log"));
    }
    if (aborted() || Clock::now() >= deadline) {
      return fail(error, aborted() ? "interrupted" : "the driver's control socket did not open");
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool OpenRtmSession::boundNames(std::vector<std::string>& names, std::string* error) {
  names.clear();
  const std::string out = file("nameclt.out");
  std::error_code ec;
  std::filesystem::remove(out, ec);
  ChildProcess client;
  const std::string ref =
      "NameService=corbaloc:iiop:127.0.0.1:" + std::to_string(port_) + "/NameService";
  if (!client.start({nameclt_, "-ORBInitRef", ref, "list", hostContext()}, folder_, out, error)) {
    return false;
  }
  if (!client.waitFor(10s)) {
    client.stop(0ms);
    return fail(error, "nameclt did not answer within 10 s");
  }
  std::ostringstream read;
  read << std::ifstream(out).rdbuf();
  const std::string text = read.str();
  if (!client.exitedCleanly()) {
    // Nothing has registered yet: the context itself is missing.
    if (text.find("NotFound") != std::string::npos) {
      return true;
    }
    return fail(error, "nameclt " + client.describeEnd() + ": " + text);
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line.erase(0, line.find_first_not_of(" \t"));
    line.erase(line.find_last_not_of(" \t\r") + 1);
    if (!line.empty()) {
      names.push_back(line);
    }
  }
  return true;
}

bool OpenRtmSession::waitForName(const std::string& name, bool bound,
                                 std::chrono::milliseconds timeout, std::string* error) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> names;
  for (;;) {
    if (!boundNames(names, error)) {
      return false;
    }
    if ((std::find(names.begin(), names.end(), name) != names.end()) == bound) {
      return true;
    }
    if (bound && !component_.running()) {
      return fail(error, "the component " + component_.describeEnd() + " before " + name +
                             " was bound; see " + file("component.log"));
    }
    if (aborted() || Clock::now() >= deadline) {
      return fail(error, aborted() ? "interrupted"
                                   : name + (bound ? " was not bound" : " stayed bound") +
                                         " in the naming service");
    }
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace tolvarine_tools
