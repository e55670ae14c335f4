#include "component_rig.h"

#include <cstdio>
#include <stdexcept>

namespace component_test {

WheelBytes wheelsOf(const ReceivedFrame& frame) {
  return WheelBytes{frame.bytes[1], frame.bytes[2], frame.bytes[3], frame.bytes[4]};
}

std::string describe(const WheelBytes& w) {
  char text[64];
  std::snprintf(text, sizeof text, "left %02X/%u right %02X/%u", w.leftDirection, w.leftSpeed,
                w.rightDirection, w.rightSpeed);
  return text;
}

std::string describe(const ReceivedFrame& frame) {
  std::string text;
  char byte[4];
  for (std::uint8_t b : frame.bytes) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  return text + (frame.valid ? "(valid)" : "(invalid)");
}

bool isStopCommand(const ReceivedFrame& frame) {
  static const std::uint8_t kStop[] = {0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF};
  if (!frame.valid) {
    return false;
  }
  for (std::size_t i = 0; i < sizeof kStop; ++i) {
    if (frame.bytes[i + 1] != kStop[i]) {
      return false;
    }
  }
  return true;
}

ComponentRig::ComponentRig() : m_board(new SimulatedBoard()) {
  std::string error;
  if (!m_board->start(&error)) {
    throw std::runtime_error("the simulated board does not start: " + error);
  }
  m_device = m_dir.file("ttyWheelchair");
  if (!m_board->createLink(m_device, &error)) {
    throw std::runtime_error("cannot link the board's device: " + error);
  }
}

ComponentRig::~ComponentRig() {
  kill();
  m_board->stop();
}

void ComponentRig::start(const std::vector<std::string>& componentKeys, int stderrFd) {
  std::string conf = "exec_cxt.periodic.rate: 100\n";
  for (const std::string& key : componentKeys) {
    conf += "Category.TolvarineContorollerModule." + key + "\n";
  }
  m_dir.write("rtc.conf", conf);
  m_process.reset(new ComponentProcess(m_dir.path(), {"-f", "rtc.conf"}, stderrFd));
  if (!waitForSocket(socketPath(), kStartTimeout)) {
    throw std::runtime_error("the component's control socket does not appear; its console:\n" +
                             m_process->err());
  }
  m_client.reset(new ControlClient(socketPath()));
  // Served from here on (the host has taken the connection).
  const json list = m_client->request({{"cmd", "list"}});
  if (!list.value("ok", false)) {
    throw std::runtime_error("the component's host does not answer: " + list.dump());
  }
}

json ComponentRig::command(double vx, double vy, double va) {
  return request({{"cmd", "write"},
                  {"port", "VelocityIn"},
                  {"sample", {{"data", {{"vx", vx}, {"vy", vy}, {"va", va}}}}}});
}

::testing::AssertionResult ComponentRig::settlesOn(const WheelBytes& expected, std::size_t hold) {
  // The ramp needs about 30 link cycles for 0.6 m/s; allow for a slow machine.
  const auto deadline = Clock::now() + 20s;
  std::size_t seen = m_board->frameCount();
  std::size_t from = 0;
  bool found = false;
  std::string last = "none";
  while (Clock::now() < deadline) {
    const std::vector<ReceivedFrame> frames = m_board->framesFrom(seen);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (!frames[i].valid) {
        continue;
      }
      last = describe(wheelsOf(frames[i]));
      if (!found && wheelsOf(frames[i]) == expected) {
        found = true;
        from = seen + i + 1;
      }
    }
    seen += frames.size();
    if (found && seen >= from + hold) {
      break;
    }
    m_board->waitForFrames(m_board->validFrameCount() + 1, 100ms);
  }
  if (!found) {
    return ::testing::AssertionFailure()
           << "the board never received " << describe(expected) << "; last frame: " << last;
  }
  std::vector<ReceivedFrame> after = m_board->framesFrom(from);
  if (after.size() < hold) {
    return ::testing::AssertionFailure()
           << "only " << after.size() << " frames after reaching " << describe(expected);
  }
  after.resize(hold);
  for (const ReceivedFrame& f : after) {
    if (!f.valid || wheelsOf(f) != expected) {
      return ::testing::AssertionFailure()
             << "reached " << describe(expected) << " but then received " << describe(f);
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ComponentRig::boardReleased() {
  if (!m_board->waitForClient(false, 10s)) {
    return ::testing::AssertionFailure() << "the device is still open";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ComponentRig::lastFrameIsStop() {
  const std::vector<ReceivedFrame> frames = m_board->frames();
  if (frames.empty()) {
    return ::testing::AssertionFailure() << "the board received nothing";
  }
  if (!isStopCommand(frames.back())) {
    std::string tail;
    for (std::size_t i = frames.size() > 4 ? frames.size() - 4 : 0; i < frames.size(); ++i) {
      tail += "\n  " + describe(frames[i]);
    }
    return ::testing::AssertionFailure() << "the last frames are not a stop command:" << tail;
  }
  return ::testing::AssertionSuccess();
}

void ComponentRig::kill() {
  m_client.reset();
  m_process.reset();
}

}  // namespace component_test
