// The manager and the execution context in-process: component creation,
// the state machine with its error state, transitions against onExecute,
// configuration refresh, and the shutdown order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <rtm/idl/BasicDataTypeSkel.h>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>

#include "component_host.h"
#include "manager_internal.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rtm_standin::ComponentHost;
using rtm_standin::Transition;
using standin_test::eventually;
using standin_test::TempDir;

struct Event {
  std::string what;
  std::string instance;
  std::thread::id thread;
  Clock::time_point begin;
  Clock::time_point end;
  double gainAtBegin = 0;
  double gainAtEnd = 0;
};

class EventLog {
 public:
  void add(const Event& e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(e);
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  int count(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_events.begin(), m_events.end(),
                                          [&](const Event& e) { return e.what == what; }));
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const Event& e : events()) {
      out.push_back(e.what);
    }
    return out;
  }
  // The names without the periodic hooks.
  std::vector<std::string> transitions() {
    std::vector<std::string> out;
    for (const Event& e : events()) {
      if (e.what != "onExecute" && e.what != "onStateUpdate" && e.what != "onError") {
        out.push_back(e.instance + ":" + e.what);
      }
    }
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<Event> m_events;
};

// What the recording component returns and how long it works; tests change
// it while components run.
struct Behaviour {
  std::atomic<RTC::ReturnCode_t> initialize{RTC::RTC_OK};
  std::atomic<RTC::ReturnCode_t> activated{RTC::RTC_OK};
  std::atomic<RTC::ReturnCode_t> reset{RTC::RTC_OK};
  std::atomic<int> failExecuteAt{0};  // 1-based cycle that returns RTC_ERROR; 0: none
  std::atomic<int> executeMs{0};
  std::atomic<bool> inExecute{false};
  std::atomic<bool> inLongExecute{false};  // inside an onExecute of 100 ms or more
  std::atomic<bool> shutdownFromExecute{false};
  std::atomic<bool> exitFromExecute{false};
  std::atomic<int> exitResult{-1};  // what exit() returned in onExecute
};

EventLog g_log;
Behaviour g_behaviour;

// clang-format off
const char* recorder_profile[] = {
    "implementation_id", "Recorder",
    "type_name",         "Recorder",
    "category",          "Test",
    "max_instance",      "0",
    "conf.default.gain", "2",
    "conf.default.name", "alpha",
    ""};
// clang-format on

class Recorder : public RTC::DataFlowComponentBase {
 public:
  explicit Recorder(RTC::Manager* manager)
      : RTC::DataFlowComponentBase(manager), m_gain(-1), m_count(-1), m_cycles(0) {}
  ~Recorder() { record("deleted"); }

  double gain() const { return m_gain; }
  int count() const { return m_count; }
  const std::string& name() const { return m_name; }

  RTC::ReturnCode_t exit() override {
    record("exit");
    return RTC::DataFlowComponentBase::exit();
  }

 protected:
  RTC::ReturnCode_t onInitialize() override {
    bindParameter("gain", m_gain, "1");
    bindParameter("name", m_name, "none");
    bindParameter("count", m_count, "3");
    record("onInitialize");
    return g_behaviour.initialize.load();
  }
  RTC::ReturnCode_t onFinalize() override { return record("onFinalize"); }
  RTC::ReturnCode_t onStartup(RTC::UniqueId) override { return record("onStartup"); }
  RTC::ReturnCode_t onShutdown(RTC::UniqueId) override { return record("onShutdown"); }
  RTC::ReturnCode_t onActivated(RTC::UniqueId) override {
    record("onActivated");
    return g_behaviour.activated.load();
  }
  RTC::ReturnCode_t onDeactivated(RTC::UniqueId) override {
    Event e = start("onDeactivated");
    // Long enough that an overlapping onExecute would show.
    std::this_thread::sleep_for(20ms);
    finish(e);
    return RTC::RTC_OK;
  }
  RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
    Event e = start("onExecute");
    const int ms = g_behaviour.executeMs.load();
    g_behaviour.inExecute = true;
    g_behaviour.inLongExecute = ms >= 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    g_behaviour.inExecute = false;
    g_behaviour.inLongExecute = false;
    finish(e);
    if (g_behaviour.shutdownFromExecute.exchange(false)) {
      m_pManager->shutdown();
    }
    if (g_behaviour.exitFromExecute.exchange(false)) {
      g_behaviour.exitResult = exit();
      record("exit returned");
    }
    ++m_cycles;
    return m_cycles == g_behaviour.failExecuteAt.load() ? RTC::RTC_ERROR : RTC::RTC_OK;
  }
  RTC::ReturnCode_t onStateUpdate(RTC::UniqueId) override { return record("onStateUpdate"); }
  RTC::ReturnCode_t onAborting(RTC::UniqueId) override { return record("onAborting"); }
  RTC::ReturnCode_t onError(RTC::UniqueId) override { return record("onError"); }
  RTC::ReturnCode_t onReset(RTC::UniqueId) override {
    record("onReset");
    return g_behaviour.reset.load();
  }

 private:
  Event start(const char* what) {
    Event e;
    e.what = what;
    e.instance = getInstanceName();
    e.thread = std::this_thread::get_id();
    e.begin = Clock::now();
    e.gainAtBegin = m_gain;
    return e;
  }
  void finish(Event& e) {
    e.end = Clock::now();
    e.gainAtEnd = m_gain;
    g_log.add(e);
  }
  RTC::ReturnCode_t record(const char* what) {
    Event e = start(what);
    finish(e);
    return RTC::RTC_OK;
  }

  double m_gain;
  std::string m_name;
  int m_count;
  int m_cycles;
};

RTC::RTObject_impl* createRecorder(RTC::Manager* manager) {
  return new Recorder(manager);
}

void deleteRecorder(RTC::RTObject_impl* rtc) {
  delete rtc;
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.clear();
    g_behaviour.initialize = RTC::RTC_OK;
    g_behaviour.activated = RTC::RTC_OK;
    g_behaviour.reset = RTC::RTC_OK;
    g_behaviour.failExecuteAt = 0;
    g_behaviour.executeMs = 0;
    g_behaviour.shutdownFromExecute = false;
    g_behaviour.exitFromExecute = false;
  }

  void TearDown() override {
    if (manager != nullptr) {
      manager->shutdown();
    }
  }

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"lifecycle_test", "-o",
                                  "manager.standin.control_socket: " + dir.file("ctl.sock"), "-o",
                                  "exec_cxt.periodic.rate: 100"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) {
      argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
    coil::Properties profile(recorder_profile);
    ASSERT_TRUE(manager->registerFactory(profile, createRecorder, deleteRecorder));
  }

  Recorder* create(const char* args = "Recorder") {
    return dynamic_cast<Recorder*>(manager->createComponent(args));
  }

  ComponentHost* host(const std::string& instance) {
    return rtm_standin::hostOf(*manager, instance);
  }

  TempDir dir;
  RTC::Manager* manager = nullptr;
};

TEST_F(Lifecycle, InstancesAreNumberedFromZero) {
  start();
  Recorder* first = create();
  Recorder* second = create();
  Recorder* named = create("Recorder?instance_name=Special");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(named, nullptr);
  EXPECT_STREQ(first->getInstanceName(), "Recorder0");
  EXPECT_STREQ(second->getInstanceName(), "Recorder1");
  EXPECT_STREQ(named->getInstanceName(), "Special");
  EXPECT_STREQ(first->getTypeName(), "Recorder");
  EXPECT_STREQ(first->getCategory(), "Test");
  EXPECT_EQ(first->getProperties().getProperty("implementation_id"), "Recorder");
  EXPECT_EQ(manager->getComponent("Recorder1"), second);
  EXPECT_EQ(manager->getComponents().size(), 3u);
  EXPECT_EQ(manager->createComponent("Nothing"), nullptr);
  EXPECT_EQ(manager->createComponent("Recorder?instance_name=Special"), nullptr);
  EXPECT_EQ(host("Recorder0")->state(), RTC::INACTIVE_STATE);
  EXPECT_EQ(g_log.transitions(),
            (std::vector<std::string>{"Recorder0:onInitialize", "Recorder0:onStartup",
                                      "Recorder1:onInitialize", "Recorder1:onStartup",
                                      "Special:onInitialize", "Special:onStartup"}))
      << "onInitialize in the creating thread, then the execution context starts";
}

TEST_F(Lifecycle, FailedInitializeFinalizesAndDeletes) {
  start();
  g_behaviour.initialize = RTC::RTC_ERROR;
  EXPECT_EQ(create(), nullptr);
  g_behaviour.initialize = RTC::RTC_OK;
  EXPECT_EQ(g_log.names(), (std::vector<std::string>{"onInitialize", "onFinalize", "deleted"}));
  EXPECT_TRUE(manager->getComponents().empty());
}

TEST_F(Lifecycle, ActivateExecuteDeactivate) {
  start();
  ASSERT_NE(create(), nullptr);
  ComponentHost* h = host("Recorder0");
  rtm_standin::TransitionResult r = h->transition(Transition::Activate);
  EXPECT_EQ(r.code, RTC::RTC_OK);
  EXPECT_EQ(r.state, RTC::ACTIVE_STATE);
  ASSERT_TRUE(eventually([] { return g_log.count("onExecute") >= 5; }, 20s));

  EXPECT_EQ(h->transition(Transition::Activate).code, RTC::PRECONDITION_NOT_MET);
  EXPECT_EQ(h->transition(Transition::Reset).code, RTC::PRECONDITION_NOT_MET);
  r = h->transition(Transition::Deactivate);
  EXPECT_EQ(r.code, RTC::RTC_OK);
  EXPECT_EQ(r.state, RTC::INACTIVE_STATE);
  const int executed = g_log.count("onExecute");
  std::this_thread::sleep_for(100ms);  // ten periods
  EXPECT_EQ(g_log.count("onExecute"), executed) << "no onExecute while inactive";
  EXPECT_EQ(h->transition(Transition::Deactivate).code, RTC::PRECONDITION_NOT_MET);

  // Every onExecute is followed by onStateUpdate, all in the one thread.
  std::vector<Event> events = g_log.events();
  std::thread::id context;
  std::string previous;
  for (const Event& e : events) {
    if (e.what == "onStartup") {
      context = e.thread;
    }
    if (e.what != "onInitialize") {
      EXPECT_EQ(e.thread, context) << e.what;
    }
    if (previous == "onExecute") {
      EXPECT_EQ(e.what, "onStateUpdate");
    }
    previous = e.what;
  }
  EXPECT_NE(context, std::this_thread::get_id());
}

TEST_F(Lifecycle, FailedActivationEntersErrorUntilReset) {
  start();
  ASSERT_NE(create(), nullptr);
  ComponentHost* h = host("Recorder0");
  g_behaviour.activated = RTC::RTC_ERROR;
  rtm_standin::TransitionResult r = h->transition(Transition::Activate);
  EXPECT_EQ(r.code, RTC::RTC_ERROR);
  EXPECT_EQ(r.state, RTC::ERROR_STATE);
  EXPECT_THAT(r.message, ::testing::HasSubstr("onActivated returned RTC_ERROR"));
  ASSERT_TRUE(eventually([] { return g_log.count("onError") >= 3; }, 20s))
      << "onError runs each period in the error state";
  EXPECT_EQ(g_log.count("onExecute"), 0);
  EXPECT_EQ(g_log.count("onAborting"), 1);
  EXPECT_EQ(h->transition(Transition::Activate).code, RTC::PRECONDITION_NOT_MET);
  EXPECT_EQ(h->transition(Transition::Deactivate).code, RTC::PRECONDITION_NOT_MET);

  g_behaviour.reset = RTC::RTC_ERROR;
  r = h->transition(Transition::Reset);
  EXPECT_EQ(r.code, RTC::RTC_ERROR);
  EXPECT_EQ(r.state, RTC::ERROR_STATE) << "a failed reset stays in the error state";
  g_behaviour.reset = RTC::RTC_OK;
  r = h->transition(Transition::Reset);
  EXPECT_EQ(r.code, RTC::RTC_OK);
  EXPECT_EQ(r.state, RTC::INACTIVE_STATE);
  const int errors = g_log.count("onError");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(g_log.count("onError"), errors) << "no onError once reset";

  g_behaviour.activated = RTC::RTC_OK;
  EXPECT_EQ(h->transition(Transition::Activate).state, RTC::ACTIVE_STATE);
  EXPECT_EQ(g_log.transitions(),
            (std::vector<std::string>{"Recorder0:onInitialize", "Recorder0:onStartup",
                                      "Recorder0:onActivated", "Recorder0:onAborting",
                                      "Recorder0:onReset", "Recorder0:onReset",
                                      "Recorder0:onActivated"}));
}

TEST_F(Lifecycle, FailingExecuteEntersErrorState) {
  start();
  ASSERT_NE(create(), nullptr);
  g_behaviour.failExecuteAt = 3;
  ComponentHost* h = host("Recorder0");
  h->transition(Transition::Activate);
  ASSERT_TRUE(eventually([] { return g_log.count("onError") >= 2; }, 20s));
  EXPECT_EQ(h->state(), RTC::ERROR_STATE);
  EXPECT_EQ(g_log.count("onExecute"), 3);
  EXPECT_EQ(g_log.count("onStateUpdate"), 2) << "none after the failing onExecute";
  std::vector<std::string> names = g_log.names();
  auto failing = std::find(names.rbegin(), names.rend(), "onExecute");
  ASSERT_NE(failing, names.rend());
  EXPECT_EQ(*(failing - 1), "onAborting") << "entering the error state runs onAborting";
  g_behaviour.failExecuteAt = 0;
}

TEST_F(Lifecycle, TransitionsWaitForOnExecute) {
  start();
  ASSERT_NE(create(), nullptr);
  ComponentHost* h = host("Recorder0");
  g_behaviour.executeMs = 150;
  h->transition(Transition::Activate);
  ASSERT_TRUE(eventually([] { return g_behaviour.inLongExecute.load(); }, 20s));
  const Clock::time_point asked = Clock::now();
  rtm_standin::TransitionResult r = h->transition(Transition::Deactivate);
  const Clock::time_point answered = Clock::now();
  g_behaviour.executeMs = 0;
  EXPECT_EQ(r.code, RTC::RTC_OK);

  std::vector<Event> events = g_log.events();
  const Event* deactivated = nullptr;
  const Event* lastExecute = nullptr;
  for (const Event& e : events) {
    if (e.what == "onDeactivated") {
      deactivated = &e;
    } else if (e.what == "onExecute") {
      lastExecute = &e;
    }
  }
  ASSERT_NE(deactivated, nullptr);
  ASSERT_NE(lastExecute, nullptr);
  EXPECT_LE(lastExecute->begin, asked) << "the request came while onExecute ran";
  EXPECT_GE(deactivated->begin, lastExecute->end) << "deactivation waited for onExecute";
  EXPECT_GE(answered, deactivated->end) << "the request returns after the transition";

  // No two hooks of the execution context ever overlap.
  std::vector<Event> timed;
  for (const Event& e : events) {
    if (e.what != "onInitialize") {
      timed.push_back(e);
    }
  }
  std::sort(timed.begin(), timed.end(),
            [](const Event& a, const Event& b) { return a.begin < b.begin; });
  for (std::size_t i = 1; i < timed.size(); ++i) {
    EXPECT_GE(timed[i].begin, timed[i - 1].end) << timed[i - 1].what << " / " << timed[i].what;
  }
}

TEST_F(Lifecycle, ParametersRefreshBeforeActivationAndAfterTheCycle) {
  start();
  Recorder* rec = create();
  ASSERT_NE(rec, nullptr);
  std::vector<Event> init = g_log.events();
  ASSERT_FALSE(init.empty());
  EXPECT_DOUBLE_EQ(init[0].gainAtBegin, 1) << "in onInitialize the binding's default holds";
  EXPECT_DOUBLE_EQ(rec->gain(), 2) << "after creation the profile's set applies";
  EXPECT_EQ(rec->name(), "alpha");
  EXPECT_EQ(rec->count(), 3) << "a parameter missing from the set keeps its binding default";

  ComponentHost* h = host("Recorder0");
  std::string why;
  ASSERT_TRUE(h->config().set("gain", "5", why)) << why;
  std::this_thread::sleep_for(50ms);
  EXPECT_DOUBLE_EQ(rec->gain(), 2) << "an inactive component sees the change at activation";
  h->transition(Transition::Activate);
  std::vector<Event> events = g_log.events();
  auto activated = std::find_if(events.begin(), events.end(),
                                [](const Event& e) { return e.what == "onActivated"; });
  ASSERT_NE(activated, events.end());
  EXPECT_DOUBLE_EQ(activated->gainAtBegin, 5);

  // Changed during a cycle: the cycle keeps its value, the next one has it.
  g_behaviour.executeMs = 100;
  ASSERT_TRUE(eventually([] { return g_behaviour.inLongExecute.load(); }, 20s));
  ASSERT_TRUE(h->config().set("gain", "7", why)) << why;
  ASSERT_TRUE(eventually(
      [] {
        for (const Event& e : g_log.events()) {
          if (e.what == "onExecute" && e.gainAtBegin == 7) {
            return true;
          }
        }
        return false;
      },
      20s));
  g_behaviour.executeMs = 0;
  for (const Event& e : g_log.events()) {
    if (e.what == "onExecute") {
      EXPECT_DOUBLE_EQ(e.gainAtBegin, e.gainAtEnd) << "a value never changes inside onExecute";
    }
  }
}

TEST_F(Lifecycle, UnconvertibleValuesKeepTheVariable) {
  start({"-o", "Test.Recorder.conf.default.count: many"});
  Recorder* rec = create();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->count(), 3) << "'many' does not convert: the default binding stays";
  ComponentHost* h = host("Recorder0");
  std::string why;
  EXPECT_FALSE(h->config().set("count", "x", why));
  EXPECT_THAT(why, ::testing::HasSubstr("'x' is not a valid value for count"));
  EXPECT_FALSE(h->config().set("cuont", "1", why));
  EXPECT_THAT(why, ::testing::HasSubstr("no parameter 'cuont'"));
  EXPECT_TRUE(h->config().set("count", "12", why));
  h->transition(Transition::Activate);
  EXPECT_EQ(rec->count(), 12);
}

TEST_F(Lifecycle, ComponentConfigFileSetsParametersAndRate) {
  dir.write("recorder.conf", "conf.default.gain: 4\nexec_cxt.periodic.rate: 50\n");
  start({"-o", "Test.Recorder.config_file: " + dir.file("recorder.conf"), "-o",
         "Test.Recorder.conf.default.name: beta"});
  Recorder* rec = create();
  ASSERT_NE(rec, nullptr);
  EXPECT_DOUBLE_EQ(rec->gain(), 4);
  EXPECT_EQ(rec->name(), "beta");
  EXPECT_DOUBLE_EQ(host("Recorder0")->rate(), 50);
}

void moduleInit(RTC::Manager* manager) {
  coil::Properties profile(recorder_profile);
  manager->registerFactory(profile, createRecorder, deleteRecorder);
  manager->createComponent("Recorder");
  manager->createComponent("Recorder");
}

TEST_F(Lifecycle, PreactivationAndShutdownOrder) {
  start({"-o", "manager.components.preactivation: Recorder1"});
  manager->setModuleInitProc(moduleInit);
  ASSERT_TRUE(manager->activateManager());
  EXPECT_EQ(host("Recorder0")->state(), RTC::INACTIVE_STATE);
  EXPECT_EQ(host("Recorder1")->state(), RTC::ACTIVE_STATE);
  EXPECT_TRUE(standin_test::waitForSocket(dir.file("ctl.sock"), 10s));

  manager->runManager(true);  // returns at once; the components run on
  EXPECT_EQ(host("Recorder1")->state(), RTC::ACTIVE_STATE);
  std::thread runner([this] { manager->runManager(false); });
  g_log.clear();
  manager->shutdown();
  runner.join();
  manager = nullptr;
  // Every component exits (its override first) before any is deleted.
  EXPECT_EQ(
      g_log.transitions(),
      (std::vector<std::string>{"Recorder0:exit", "Recorder0:onShutdown", "Recorder0:onFinalize",
                                "Recorder1:exit", "Recorder1:onDeactivated", "Recorder1:onShutdown",
                                "Recorder1:onFinalize", "Recorder0:deleted", "Recorder1:deleted"}));
  struct stat st;
  EXPECT_NE(::stat(dir.file("ctl.sock").c_str(), &st), 0) << "the control socket is removed";
}

TEST_F(Lifecycle, ShutdownFromInsideTheComponentDoesNotDeadlock) {
  start();
  ASSERT_NE(create(), nullptr);
  host("Recorder0")->transition(Transition::Activate);
  std::thread runner([this] { manager->runManager(false); });
  g_behaviour.shutdownFromExecute = true;
  runner.join();  // returns once the manager has shut down
  manager = nullptr;
  EXPECT_EQ(g_log.count("deleted"), 1);
  EXPECT_EQ(g_log.count("onDeactivated"), 1);
}

TEST_F(Lifecycle, ExitFromOnExecuteTakesEffectAfterTheCycle) {
  start();
  Recorder* rec = create();
  ASSERT_NE(rec, nullptr);
  ComponentHost* h = host("Recorder0");
  h->transition(Transition::Activate);
  g_log.clear();
  g_behaviour.exitFromExecute = true;
  ASSERT_TRUE(eventually([] { return g_log.count("onFinalize") == 1; }, 20s));
  EXPECT_EQ(g_behaviour.exitResult, RTC::RTC_OK);
  std::vector<std::string> order = g_log.transitions();
  order.erase(order.begin(), std::find(order.begin(), order.end(), "Recorder0:exit"));
  EXPECT_EQ(order, (std::vector<std::string>{"Recorder0:exit", "Recorder0:exit returned",
                                             "Recorder0:onDeactivated", "Recorder0:onShutdown",
                                             "Recorder0:onFinalize"}));
  EXPECT_EQ(h->state(), RTC::INACTIVE_STATE);
  EXPECT_EQ(rec->exit(), RTC::RTC_OK) << "a second exit does nothing";
  EXPECT_EQ(h->transition(Transition::Activate).code, RTC::PRECONDITION_NOT_MET);
  {
    Recorder loose(manager);
    EXPECT_EQ(loose.exit(), RTC::PRECONDITION_NOT_MET) << "never initialized";
  }
  manager->shutdown();
  manager = nullptr;
  EXPECT_EQ(g_log.count("onFinalize"), 1);
  EXPECT_EQ(g_log.count("onShutdown"), 1);
  EXPECT_EQ(g_log.count("deleted"), 2) << "the component, and the loose one";
}

TEST_F(Lifecycle, ManagerCanBeStartedAgainAfterShutdown) {
  start();
  ASSERT_NE(create(), nullptr);
  RTC::Manager* first = manager;
  manager->shutdown();
  EXPECT_EQ(&RTC::Manager::instance(), first) << "the old manager stays until a new init";
  start();
  EXPECT_NE(manager, nullptr);
  Recorder* rec = create();
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->getInstanceName(), "Recorder0");
  EXPECT_EQ(host("Recorder0")->transition(Transition::Activate).code, RTC::RTC_OK);
}

}  // namespace
