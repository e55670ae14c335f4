#include "recorder.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "summary.h"

namespace tolvarine_demo {
namespace {

using namespace std::chrono_literals;
using tolvarine_control::Json;

constexpr auto kTruthPeriod = 10ms;
constexpr auto kRequestTimeout = 5s;

bool openCsv(std::ofstream& csv, const std::string& path, const char* header) {
  csv.open(path);
  return static_cast<bool>(csv << header << '\n');
}

void writeLine(std::ofstream& csv, const std::string& text) {
  if (csv.is_open()) {
    csv << text << '\n' << std::flush;
  }
}

}  // namespace

Recorder::~Recorder() {
  stopSamples();
  stopTruth();
}

bool Recorder::open(const std::string& folder) {
  auto path = [&folder](const char* name) {
    return (std::filesystem::path(folder) / name).string();
  };
  return openCsv(commandCsv_, path(kCommandCsv), "time_s,vx_mps,vy_mps,va_radps,segment") &&
         openCsv(velocityCsv_, path(kVelocityCsv), "time_s,stamp_s,vx_mps,vy_mps,va_radps") &&
         openCsv(odometryCsv_, path(kOdometryCsv), "time_s,stamp_s,x_m,y_m,heading_rad") &&
         openCsv(truthCsv_, path(kTruthCsv),
                 "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps,v_mps,w_radps");
}

void Recorder::recordTruth(const tolvarine_board_sim::SimulatedBoard& board) {
  origin_ = board.startedAt();
  truthThread_ = std::thread([this, &board] { truthLoop(board); });
}

bool Recorder::recordSamples(const std::string& socket, std::string* error) {
  Json reply;
  if (!events_.connect(socket, kRequestTimeout, error) ||
      !events_.request({{"cmd", "subscribe"}, {"ports", {"VelocityOut", "OdmetoryOut"}}}, reply,
                       kRequestTimeout, error)) {
    return false;
  }
  if (!reply.value("ok", false)) {
    *error = reply.dump();
    return false;
  }
  sampleThread_ = std::thread(&Recorder::sampleLoop, this);
  return true;
}

void Recorder::command(double sentAt, double linear, double angular, const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++figures_.commandsSent;
  }
  writeLine(commandCsv_,
            format("%.4f,%.4f,%.4f,%.4f,\"%s\"", sentAt, linear, 0.0, angular, what.c_str()));
}

BoardRecord Recorder::recordBoardFrames(const tolvarine_board_sim::SimulatedBoard& board,
                                        const std::string& folder) {
  BoardRecord record;
  const auto frames = board.frames();
  record.frames = frames.size();
  record.bad = board.badFrameCount();
  record.replies = board.replyCount();
  std::ofstream csv;
  openCsv(csv, (std::filesystem::path(folder) / kFramesCsv).string(),
          tolvarine_board_sim::kFrameLogHeader);
  tolvarine_board_sim::writeFrameLog(csv, frames, board.startedAt());
  const auto last =
      std::find_if(frames.rbegin(), frames.rend(),
                   [](const tolvarine_board_sim::ReceivedFrame& f) { return f.valid; });
  if (last != frames.rend()) {
    // Both direction bytes "stop" (0x30) and both speeds 0.
    const auto& b = last->bytes;
    record.lastFrame = tolvarine_board_sim::hexBytes(&b[1], 4);
    record.endsWithStop = b[1] == 0x30 && b[2] == 0x30 && b[3] == 0 && b[4] == 0;
  }
  return record;
}

void Recorder::stopSamples() {
  stopSamples_ = true;
  if (sampleThread_.joinable()) {
    sampleThread_.join();
  }
  events_.close();
}

void Recorder::stopTruth() {
  stopTruth_ = true;
  if (truthThread_.joinable()) {
    truthThread_.join();
  }
}

Recorder::Figures Recorder::figures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return figures_;
}

void Recorder::truthLoop(const tolvarine_board_sim::SimulatedBoard& board) {
  auto next = origin_;
  double lastTime = -1.0;
  while (!stopTruth_) {
    next += kTruthPeriod;
    const auto now = Clock::now();
    if (next < now - 10 * kTruthPeriod) {
      next = now;  // fell far behind (a stopped process): do not catch up in a burst
    }
    std::this_thread::sleep_until(next);
    const tolvarine_board_sim::ChairState state = board.state();
    const auto& p = state.pose;
    if (p.time <= lastTime) {
      // Woken late (a loaded machine), the loop runs the missed periods at
      // once; rows of the same instant would only repeat the last one.
      continue;
    }
    const double v = 0.5 * (state.motors.right + state.motors.left);
    const double w = (state.motors.right - state.motors.left) / 0.5488;
    writeLine(truthCsv_, format("%.3f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f", p.time, p.x, p.y,
                                p.theta, p.distance, state.motors.right, state.motors.left, v, w));
    lastTime = p.time;
    std::lock_guard<std::mutex> lock(mutex_);
    figures_.truth = state;
  }
}

void Recorder::sampleLoop() {
  for (;;) {
    Json event;
    const auto r = events_.nextEvent(event, 200ms);
    if (r == tolvarine_control::Client::Read::kClosed) {
      return;
    }
    if (r != tolvarine_control::Client::Read::kLine) {
      if (stopSamples_) {
        return;
      }
      continue;
    }
    const std::string kind = event.value("event", "");
    if (kind == "shutdown") {
      return;
    }
    if (kind == "dropped") {
      std::lock_guard<std::mutex> lock(mutex_);
      figures_.droppedSamples += event.value("samples", 0ull);
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
      writeLine(odometryCsv_,
                format("%.4f,%.3f,%.6f,%.6f,%.6f", t, stamp, pose.x, pose.y, pose.heading));
      std::lock_guard<std::mutex> lock(mutex_);
      if (figures_.odometrySamples > 0) {
        figures_.odometryPath +=
            std::hypot(pose.x - figures_.odometry.x, pose.y - figures_.odometry.y);
      } else {
        firstSampleTime_ = t;
      }
      figures_.sampleSpan = t - firstSampleTime_;
      figures_.odometry = pose;
      ++figures_.odometrySamples;
    } else if (port == "VelocityOut") {
      writeLine(velocityCsv_, format("%.4f,%.3f,%.6f,%.6f,%.6f", t, stamp, data.value("vx", 0.0),
                                     data.value("vy", 0.0), data.value("va", 0.0)));
      std::lock_guard<std::mutex> lock(mutex_);
      ++figures_.velocitySamples;
    }
  }
}

}  // namespace tolvarine_demo
