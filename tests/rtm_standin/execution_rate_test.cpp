// The periodic execution context's rate, measured. The machine running the
// tests is shared and loaded, so the bounds are generous; each test prints
// what it measured.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rtm/idl/BasicDataTypeSkel.h>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>

#include "component_host.h"
#include "manager_internal.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::mutex g_mutex;
std::vector<Clock::time_point> g_starts;
std::atomic<int> g_workMs{0};

class Ticker : public RTC::DataFlowComponentBase {
 public:
  explicit Ticker(RTC::Manager* manager) : RTC::DataFlowComponentBase(manager) {}

 protected:
  RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_starts.push_back(Clock::now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(g_workMs.load()));
    return RTC::RTC_OK;
  }
};

const char* ticker_spec[] = {"implementation_id", "Ticker", "type_name", "Ticker",
                             "category",          "Test",   ""};

RTC::RTObject_impl* createTicker(RTC::Manager* manager) {
  return new Ticker(manager);
}

void deleteTicker(RTC::RTObject_impl* rtc) {
  delete rtc;
}

struct Measurement {
  int cycles = 0;
  double seconds = 0;
  std::vector<double> gapsMs;
};

// Runs a Ticker at `rateHz` whose onExecute takes `workMs`, and counts the
// cycles that start within `window` after the first one.
Measurement run(double rateHz, int workMs, std::chrono::milliseconds window) {
  std::vector<std::string> args{"execution_rate_test", "-o",
                                "exec_cxt.periodic.rate: " + std::to_string(rateHz)};
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(&a[0]);
  }
  argv.push_back(nullptr);
  RTC::Manager* manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
  coil::Properties profile(ticker_spec);
  manager->registerFactory(profile, createTicker, deleteTicker);
  EXPECT_NE(manager->createComponent("Ticker"), nullptr);
  g_workMs = workMs;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_starts.clear();
  }
  rtm_standin::hostOf(*manager, "Ticker0")->transition(rtm_standin::Transition::Activate);
  std::this_thread::sleep_for(window + 300ms);
  manager->shutdown();

  std::lock_guard<std::mutex> lock(g_mutex);
  Measurement m;
  if (g_starts.empty()) {
    return m;
  }
  const Clock::time_point first = g_starts.front();
  for (std::size_t i = 0; i < g_starts.size(); ++i) {
    if (g_starts[i] - first < window) {
      ++m.cycles;
      if (i > 0) {
        m.gapsMs.push_back(
            std::chrono::duration<double, std::milli>(g_starts[i] - g_starts[i - 1]).count());
      }
    }
  }
  m.seconds = std::chrono::duration<double>(window).count();
  return m;
}

double minimum(const std::vector<double>& v) {
  double m = 1e300;
  for (double x : v) {
    m = std::min(m, x);
  }
  return m;
}

TEST(ExecutionRate, HundredHertzIdle) {
  Measurement m = run(100, 0, 2000ms);
  std::cout << "100 Hz, idle: " << m.cycles << " cycles in " << m.seconds << " s" << std::endl;
  ::testing::Test::RecordProperty("cycles", m.cycles);
  // 200 expected. Absolute deadlines allow at most one more; scheduling
  // delays on a loaded machine may cost some.
  EXPECT_LE(m.cycles, 201);
  EXPECT_GE(m.cycles, 140);
}

TEST(ExecutionRate, WorkInsideThePeriodDoesNotSlowTheRate) {
  // onExecute takes half of each 20 ms period. Sleeping a period after each
  // cycle would give 2 s / 30 ms = 67 cycles; deadlines keep 100.
  Measurement m = run(50, 10, 2000ms);
  std::cout << "50 Hz, 10 ms of work: " << m.cycles << " cycles in " << m.seconds << " s"
            << std::endl;
  ::testing::Test::RecordProperty("cycles", m.cycles);
  EXPECT_LE(m.cycles, 101);
  EXPECT_GE(m.cycles, 80);
}

TEST(ExecutionRate, OverrunsStretchThePeriodWithoutBursts) {
  // onExecute takes 25 ms at 100 Hz: cycles follow each other at once, and
  // the missed deadlines are not made up afterwards.
  Measurement m = run(100, 25, 1000ms);
  const double shortest = minimum(m.gapsMs);
  std::cout << "100 Hz, 25 ms of work: " << m.cycles << " cycles in " << m.seconds
            << " s, shortest gap " << shortest << " ms" << std::endl;
  ::testing::Test::RecordProperty("cycles", m.cycles);
  EXPECT_LE(m.cycles, 41);
  EXPECT_GE(m.cycles, 20);
  EXPECT_GE(shortest, 24.0) << "no cycle starts before the previous one's work is done";
}

}  // namespace
