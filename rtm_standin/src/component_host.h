// One hosted component and its periodic execution context.
//
// The execution context is one thread. It runs every activation,
// deactivation and reset and every cycle (onExecute and onStateUpdate while
// active, onError in the error state), so these never overlap: a transition
// asked for while onExecute runs is taken up when it has returned. Cycles
// follow absolute deadlines start + k * period, so the rate does not drift
// with the time the cycles take; deadlines missed by more than a whole
// period are skipped rather than made up in a burst.
#ifndef RTM_STANDIN_COMPONENT_HOST_H
#define RTM_STANDIN_COMPONENT_HOST_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rtm/RTObject.h>

#include <tolvarine_control/request_helpers.h>

namespace rtm_standin {

enum class Transition { Activate, Deactivate, Reset };

using tolvarine_control::lifeCycleStateName;
using tolvarine_control::returnCodeName;

struct TransitionResult {
  RTC::ReturnCode_t code = RTC::RTC_OK;
  RTC::LifeCycleState state = RTC::CREATED_STATE;
  std::string message;  // why it failed; empty on success
};

// True in the threads the host runs (execution contexts, terminator): code
// there must not wait for the host to shut down.
bool inHostThread();
void markHostThread();

class ComponentHost {
 public:
  using Done = std::function<void(const TransitionResult&)>;

  ComponentHost(RTC::RTObject_impl* component, RTC::RtcDeleteFunc deleter, double rate_hz);
  ~ComponentHost();

  const std::string& instanceName() const { return m_instance; }
  const std::string& typeName() const { return m_type; }
  const std::string& category() const { return m_category; }
  double rate() const { return m_rate; }
  RTC::LifeCycleState state() const { return m_state.load(); }
  RTC::ConfigAdmin& config() { return m_component->m_configsets; }
  std::vector<RTC::InPortBase*> inPorts() const;
  std::vector<RTC::OutPortBase*> outPorts() const;

  // onInitialize in the calling thread, then the first parameter update;
  // INACTIVE on success.
  RTC::ReturnCode_t initialize();
  // Starts the execution context; returns when onStartup has run in it.
  void start();

  // Queues a transition; `done` runs in the execution context once it has
  // taken place, or at once when the component is exiting.
  void requestTransition(Transition transition, Done done);
  // The same, waiting for the result.
  TransitionResult transition(Transition transition);

  // RTObject_impl::exit(). Transitions still queued are refused and the
  // deactivation goes first, so no client can hold it up; from a hook it
  // only starts the exit, which the context finishes after the hook.
  RTC::ReturnCode_t exit();
  // The manager's shutdown step: the component's exit() (through the
  // virtual, so that an override runs first), then whatever that left
  // undone; returns once the component is finalized.
  void shutDown();
  // onFinalize, when the initialization failed and nothing else ran.
  void finalize();
  // Deletes the component through its factory, exiting it first if needed.
  void destroy();

  ComponentHost(const ComponentHost&) = delete;
  ComponentHost& operator=(const ComponentHost&) = delete;

 private:
  using Clock = std::chrono::steady_clock;
  // A transition (in the order of Transition's values), or the end of the context.
  enum class RequestKind { Activate, Deactivate, Reset, Stop };
  struct Request {
    RequestKind kind;
    Done done;
  };

  void run(std::promise<void>& started);
  // Waits until the exit under way is complete and the context has ended.
  void awaitExit();
  TransitionResult refusal(Transition transition) const;
  TransitionResult perform(RequestKind kind);
  void cycle();
  void enterError(const std::string& why);
  RTC::ReturnCode_t hook(const char* name, const std::function<RTC::ReturnCode_t()>& call);

  RTC::RTObject_impl* m_component;
  RTC::RtcDeleteFunc m_deleter;
  const std::string m_instance;
  const std::string m_type;
  const std::string m_category;
  const double m_rate;
  const Clock::duration m_period;
  std::atomic<RTC::LifeCycleState> m_state{RTC::CREATED_STATE};

  std::mutex m_mutex;
  std::condition_variable m_wake;   // the execution context: a request came
  std::condition_variable m_ended;  // exiting threads: a step of the exit is done
  std::deque<Request> m_requests;
  bool m_started = false;  // the execution context runs or ran
  std::thread::id m_context;
  bool m_exiting = false;   // exit() was called; no more requests accepted
  bool m_stopping = false;  // the execution context ends
  bool m_finalizeInContext = false;
  bool m_contextEnded = false;  // after onShutdown
  bool m_finalized = false;
  bool m_exited = false;  // after onFinalize
  std::thread m_thread;
};

}  // namespace rtm_standin

#endif  // RTM_STANDIN_COMPONENT_HOST_H
