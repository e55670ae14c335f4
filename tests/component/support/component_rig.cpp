#include "component_rig.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <time.h>

#ifndef TOLVARINE_COMPONENT_EXE
#error "TOLVARINE_COMPONENT_EXE must name the component executable"
#endif

namespace component_test {

namespace fs = std::filesystem;

namespace {

std::uint32_t monotonicTickMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace

std::vector<std::string> openFiles(pid_t pid) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    files.push_back(entry.path().filename().string() + " -> " +
                    fs::read_symlink(entry.path(), ec).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::size_t expectWellFormedCycles(const std::vector<ControlClient::Event>& events) {
  std::vector<json> samples;
  for (const ControlClient::Event& e : events) {
    if (e.body.value("event", "") == "sample") {
      samples.push_back(e.body);
    }
  }
  std::size_t i = samples.empty() || samples[0]["port"] == "OdmetoryOut" ? 0 : 1;
  std::size_t cycles = 0;
  const std::uint32_t now = monotonicTickMs();
  for (; i + 1 < samples.size() && !::testing::Test::HasFailure(); i += 2, ++cycles) {
    const json& pose = samples[i]["sample"];
    const json& velocity = samples[i + 1]["sample"];
    if (!velocity["data"]["vx"].is_number() || !velocity["data"]["va"].is_number()) {
      ADD_FAILURE() << "a velocity nobody measured: " << velocity.dump();
      break;
    }
    EXPECT_EQ(samples[i]["port"], "OdmetoryOut");
    EXPECT_EQ(samples[i + 1]["port"], "VelocityOut");
    EXPECT_EQ(pose["tm"], velocity["tm"]);
    const std::uint64_t stamp = velocity["tm"]["sec"].get<std::uint64_t>() * 1000u +
                                velocity["tm"]["nsec"].get<std::uint64_t>() / 1000000u;
    EXPECT_EQ(velocity["tm"]["nsec"].get<std::uint64_t>() % 1000000u, 0u);
    EXPECT_LE(static_cast<std::uint32_t>(now - static_cast<std::uint32_t>(stamp)), 60000u);
    EXPECT_EQ(velocity["data"]["vy"].get<double>(), 0.0);
    EXPECT_GE(velocity["data"]["vx"].get<double>(), 0.0);
    EXPECT_EQ(velocity["id"], json::array());
    EXPECT_EQ(pose["error"], json::array());
  }
  return cycles;
}

std::string withoutHostLines(const std::string& text) {
  std::string kept;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("rtm-standin: ", 0) != 0) {
      kept += line + "\n";
    }
  }
  return kept;
}

std::vector<ReceivedFrame> validFramesFrom(const SimulatedBoard& board, std::size_t first) {
  std::vector<ReceivedFrame> frames = board.framesFrom(first);
  frames.erase(
      std::remove_if(frames.begin(), frames.end(), [](const ReceivedFrame& f) { return !f.valid; }),
      frames.end());
  return frames;
}

std::size_t leadingFrames(const std::vector<ReceivedFrame>& frames, const Wheels& wheels) {
  const auto other = std::find_if(frames.begin(), frames.end(),
                                  [&](const ReceivedFrame& f) { return wheelsOf(f) != wheels; });
  return static_cast<std::size_t>(other - frames.begin());
}

std::size_t speedUps(const std::vector<ReceivedFrame>& frames) {
  std::size_t n = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const Wheels a = wheelsOf(frames[i - 1]), b = wheelsOf(frames[i]);
    n += std::abs(b.right) > std::abs(a.right) || std::abs(b.left) > std::abs(a.left);
  }
  return n;
}

::testing::AssertionResult holdsAtRest(const SimulatedBoard& board, std::size_t frames) {
  const std::size_t from = board.frameCount();
  if (!board.waitForFrames(from + frames, kPatience)) {
    return ::testing::AssertionFailure() << "no frames";
  }
  // Zero wheel speeds: also the link's own stop command, which goes out until
  // the control thread has planned its first frame.
  for (const ReceivedFrame& f : board.framesFrom(from)) {
    if (wheelsOf(f) != Wheels{}) {
      return ::testing::AssertionFailure() << "moved uncommanded: " << describe(f);
    }
  }
  return ::testing::AssertionSuccess();
}

ComponentRig::ComponentRig() {
  std::string error;
  m_device = m_dir.file("ttyWheelchair");
  if (!m_board.start(&error) || !m_board.createLink(m_device, &error)) {
    throw std::runtime_error("the simulated board does not start: " + error);
  }
}

ComponentRig::~ComponentRig() {
  m_client.reset();
  m_process.reset();
  m_board.stop();
}

void ComponentRig::start(const std::vector<std::string>& componentKeys, int stderrFd) {
  std::string conf = "exec_cxt.periodic.rate: 100\n";
  for (const std::string& key : componentKeys) {
    conf += "Category.TolvarineContorollerModule." + key + "\n";
  }
  m_dir.write("rtc.conf", conf);
  // The board's pseudo-terminal lives in this process: the child holds
  // nothing of it but what it opens itself.
  m_process.reset(new TestProcess({TOLVARINE_COMPONENT_EXE, "-f", "rtc.conf"}, m_dir.path(),
                                  "component", stderrFd));
  if (!waitForSocket(socketPath())) {
    throw std::runtime_error("no control socket; console:\n" + m_process->err());
  }
  m_client.reset(new ControlClient(socketPath()));
  state();  // served from here on: the host has taken the connection
}

std::string ComponentRig::transition(const char* cmd) {
  return request({{"cmd", cmd}}).value("result", "");
}

std::string ComponentRig::state() {
  const json list = request({{"cmd", "list"}});
  return list.value("ok", false) ? list["components"][0].value("state", "") : "";
}

json ComponentRig::set(const std::string& key, const std::string& value) {
  return request({{"cmd", "set"}, {"key", key}, {"value", value}});
}

json ComponentRig::command(double vx, double vy, double va) {
  return request({{"cmd", "write"},
                  {"port", "VelocityIn"},
                  {"sample", {{"data", {{"vx", vx}, {"vy", vy}, {"va", va}}}}}});
}

::testing::AssertionResult ComponentRig::settlesOn(const Wheels& expected, std::size_t hold) {
  const std::size_t from = m_board.frameCount();
  std::size_t reached = 0;
  std::string last = "none";
  const bool settled = eventually(
      [&] {
        std::size_t run = 0;
        for (const ReceivedFrame& f : validFramesFrom(m_board, from)) {
          run = wheelsOf(f) == expected ? run + 1 : 0;
          reached = std::max(reached, run);
          last = describe(f);
        }
        return run > hold;
      },
      20s);
  if (settled) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "no run of " << hold + 1 << " frames with the expected "
                                       << "wheel bytes (longest " << reached << "); last " << last;
}

::testing::AssertionResult ComponentRig::releasedWithStop() {
  if (!m_board.waitForClient(false, 10s)) {
    return ::testing::AssertionFailure() << "the device is still open";
  }
  const std::vector<ReceivedFrame> frames = m_board.frames();
  if (frames.empty() || !isStopCommand(frames.back())) {
    return ::testing::AssertionFailure()
           << "the last frame is not the stop command: "
           << (frames.empty() ? std::string("none") : describe(frames.back()));
  }
  return ::testing::AssertionSuccess();
}

}  // namespace component_test
