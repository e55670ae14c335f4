// The driving half of the link benchmark across processes: brings an
// AutoController up on a serial port and, for a given time, gives it a new
// target every 45 to 75 ms at a random point of the cycle, noting the wall
// clock at each. Built for Linux and for Windows from this one file;
// tolvarine-link-bench runs it against the simulated board (natively, or
// under Wine through a COM port) and matches the times against the frames
// the board received.
//
//   link_bench_client PORT SECONDS
//
// Standard output: "connected", then after the run one line per target,
// "set MICROSECONDS TARGET" (wall clock since 1970, target in m/s), and
// "done". Exit 3 when the port could not be brought up, 2 on bad usage.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <tolvarine_controller/tolvarine_controller.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Two targets closer than one acceleration step (21 mm/s at 0.7 m/s^2), so
// the first step after a change already lands on the new target.
constexpr double kTargetA = 0.30;
constexpr double kTargetB = 0.32;

// Microseconds of the wall clock since 1970: the clock this process and the
// board's process share, under Wine too.
std::int64_t wallMicroseconds() {
#ifdef _WIN32
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t ticks =
      (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000LL) / 10;  // 100 ns ticks since 1601
#else
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc == 3 ? std::atof(argv[2]) : 0.0;
  if (argc != 3 || !(seconds >= 1 && seconds <= 3600)) {
    std::cerr << "usage: link_bench_client PORT SECONDS (1 to 3600)" << std::endl;
    return 2;
  }
  tolvarine_controller::AutoController chair(0.7);
  if (!chair.initialize(argv[1], -1)) {
    std::cout << "initialize failed" << std::endl;
    return 3;
  }
  std::cout << "connected" << std::endl;
  // What a component's execution loop does: take the status records.
  std::atomic<bool> consuming{true};
  std::thread consumer([&] {
    while (consuming) {
      chair.renewOdometory(true);
    }
  });
  // The ramp up from rest takes 15 cycles; it is no sample.
  chair.setSendDataVRL(kTargetA, kTargetA);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));

  struct Sample {
    std::int64_t at;
    double target;
  };
  std::vector<Sample> samples;
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pauseUs(45000, 75000);
  bool useA = true;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(seconds));
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
    useA = !useA;
    const double target = useA ? kTargetA : kTargetB;
    const std::int64_t at = wallMicroseconds();
    chair.setSendDataVRL(target, target);
    samples.push_back({at, target});
  }
  // The last target reaches the wire before the run ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  consuming = false;
  consumer.join();
  for (const Sample& s : samples) {
    std::cout << "set " << s.at << ' ' << s.target << '\n';
  }
  std::cout << "done" << std::endl;
  return 0;
}
