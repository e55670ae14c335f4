#include "component_host.h"

#include <exception>
#include <future>
#include <memory>
#include <utility>

#include "host_log.h"

namespace rtm_standin {

namespace {

// Each component has one execution context; its handle is 0.
constexpr RTC::UniqueId kContextId = 0;

thread_local bool t_hostThread = false;

const char* const kTransitionNames[] = {"activate", "deactivate", "reset"};

}  // namespace

bool inHostThread() {
  return t_hostThread;
}

void markHostThread() {
  t_hostThread = true;
}

ComponentHost::ComponentHost(RTC::RTObject_impl* component, RTC::RtcDeleteFunc deleter,
                             double rate_hz)
    : m_component(component),
      m_deleter(deleter),
      m_instance(component->getInstanceName()),
      m_type(component->getTypeName()),
      m_category(component->getCategory()),
      m_rate(rate_hz),
      m_period(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / rate_hz))) {
  component->m_host = this;
}

ComponentHost::~ComponentHost() {
  if (m_thread.joinable()) {
    exit();
    awaitExit();
  }
}

std::vector<RTC::InPortBase*> ComponentHost::inPorts() const {
  std::lock_guard<std::mutex> lock(m_component->m_portsMutex);
  return m_component->m_inports;
}

std::vector<RTC::OutPortBase*> ComponentHost::outPorts() const {
  std::lock_guard<std::mutex> lock(m_component->m_portsMutex);
  return m_component->m_outports;
}

RTC::ReturnCode_t ComponentHost::hook(const char* name,
                                      const std::function<RTC::ReturnCode_t()>& call) {
  try {
    return call();
  } catch (const std::exception& e) {
    hostLog(m_instance + ": " + name + " threw: " + e.what());
  } catch (const CORBA::Exception& e) {
    hostLog(m_instance + ": " + name + " threw CORBA exception " + e._name());
  } catch (...) {
    hostLog(m_instance + ": " + name + " threw an exception");
  }
  return RTC::RTC_ERROR;
}

RTC::ReturnCode_t ComponentHost::initialize() {
  RTC::ReturnCode_t rc = hook("onInitialize", [this] { return m_component->onInitialize(); });
  if (rc != RTC::RTC_OK) {
    return rc;
  }
  config().update();
  m_state.store(RTC::INACTIVE_STATE);
  return RTC::RTC_OK;
}

void ComponentHost::start() {
  // Returns once onStartup has run, so components start one after the other.
  std::promise<void> started;
  std::future<void> ready = started.get_future();
  m_thread = std::thread([this, &started] { run(started); });
  ready.wait();
}

void ComponentHost::requestTransition(Transition transition, Done done) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_exiting && m_started) {
      m_requests.push_back({static_cast<RequestKind>(transition), std::move(done)});
      m_wake.notify_one();
      return;
    }
  }
  done(refusal(transition));
}

TransitionResult ComponentHost::refusal(Transition transition) const {
  TransitionResult refused;
  refused.code = RTC::PRECONDITION_NOT_MET;
  refused.state = state();
  refused.message = std::string("cannot ") + kTransitionNames[static_cast<int>(transition)] + " " +
                    m_instance + ": it is exiting";
  return refused;
}

TransitionResult ComponentHost::transition(Transition transition) {
  auto promise = std::make_shared<std::promise<TransitionResult>>();
  std::future<TransitionResult> result = promise->get_future();
  requestTransition(transition, [promise](const TransitionResult& r) { promise->set_value(r); });
  return result.get();
}

RTC::ReturnCode_t ComponentHost::exit() {
  std::deque<Request> queued;
  bool inContext = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) {
      return RTC::PRECONDITION_NOT_MET;
    }
    if (m_exiting) {
      return RTC::RTC_OK;
    }
    m_exiting = true;
    inContext = std::this_thread::get_id() == m_context;
    m_finalizeInContext = inContext;
    // The deactivation must not wait behind transitions clients asked for.
    queued.swap(m_requests);
    m_requests.push_back({RequestKind::Stop, nullptr});
    m_wake.notify_one();
  }
  for (Request& request : queued) {
    if (request.done) {
      request.done(refusal(static_cast<Transition>(request.kind)));
    }
  }
  if (inContext) {
    return RTC::RTC_OK;  // the context finishes the exit after the current hook
  }
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ended.wait(lock, [this] { return m_contextEnded; });
  }
  finalize();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exited = true;
  }
  m_ended.notify_all();
  return RTC::RTC_OK;
}

void ComponentHost::shutDown() {
  hook("exit", [this] { return m_component->exit(); });
  exit();
  awaitExit();
}

void ComponentHost::awaitExit() {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_started) {
      return;
    }
    m_ended.wait(lock, [this] { return m_exited; });
  }
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
    m_thread.join();
  }
}

void ComponentHost::finalize() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finalized) {
      return;
    }
    m_finalized = true;
  }
  hook("onFinalize", [this] { return m_component->onFinalize(); });
}

void ComponentHost::destroy() {
  if (m_component == nullptr) {
    return;
  }
  exit();
  awaitExit();
  RTC::RTObject_impl* component = m_component;
  m_component = nullptr;
  if (m_deleter != nullptr) {
    m_deleter(component);
  }
}

void ComponentHost::enterError(const std::string& why) {
  m_state.store(RTC::ERROR_STATE);
  hostLog(m_instance + ": " + why + "; now in the ERROR state");
  hook("onAborting", [this] { return m_component->onAborting(kContextId); });
}

TransitionResult ComponentHost::perform(RequestKind kind) {
  TransitionResult result;
  const RTC::LifeCycleState from = state();
  auto refuse = [&](const char* what, RTC::LifeCycleState needed) {
    result.code = RTC::PRECONDITION_NOT_MET;
    result.message = std::string("cannot ") + what + " " + m_instance + ": it is " +
                     lifeCycleStateName(from) + ", not " + lifeCycleStateName(needed);
  };
  // The transition's hook; true when it succeeded and the component is `to`.
  auto run = [&](const char* name, RTC::ReturnCode_t (RTC::RTObject_impl::*call)(RTC::UniqueId),
                 RTC::LifeCycleState to) {
    result.code = hook(name, [this, call] { return (m_component->*call)(kContextId); });
    if (result.code != RTC::RTC_OK) {
      result.message = std::string(name) + " returned " + returnCodeName(result.code);
      return false;
    }
    m_state.store(to);
    hostLog(m_instance + ": " + lifeCycleStateName(to));
    return true;
  };
  switch (kind) {
    case RequestKind::Activate:
      if (from != RTC::INACTIVE_STATE) {
        refuse("activate", RTC::INACTIVE_STATE);
        break;
      }
      config().update();
      if (!run("onActivated", &RTC::RTObject_impl::onActivated, RTC::ACTIVE_STATE)) {
        enterError(result.message);
      }
      break;
    case RequestKind::Deactivate:
      if (from != RTC::ACTIVE_STATE) {
        refuse("deactivate", RTC::ACTIVE_STATE);
      } else if (!run("onDeactivated", &RTC::RTObject_impl::onDeactivated, RTC::INACTIVE_STATE)) {
        enterError(result.message);
      }
      break;
    case RequestKind::Reset:
      if (from != RTC::ERROR_STATE) {
        refuse("reset", RTC::ERROR_STATE);
      } else if (!run("onReset", &RTC::RTObject_impl::onReset, RTC::INACTIVE_STATE)) {
        result.message += "; still in the ERROR state";
        hostLog(m_instance + ": " + result.message);
      }
      break;
    case RequestKind::Stop: {
      if (from == RTC::ACTIVE_STATE &&
          !run("onDeactivated", &RTC::RTObject_impl::onDeactivated, RTC::INACTIVE_STATE)) {
        enterError(result.message);
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopping = true;
      break;
    }
  }
  result.state = state();
  return result;
}

void ComponentHost::cycle() {
  const RTC::LifeCycleState st = state();
  if (st == RTC::ACTIVE_STATE) {
    RTC::ReturnCode_t rc = hook("onExecute", [this] { return m_component->onExecute(kContextId); });
    if (rc != RTC::RTC_OK) {
      enterError(std::string("onExecute returned ") + returnCodeName(rc));
      return;
    }
    rc = hook("onStateUpdate", [this] { return m_component->onStateUpdate(kContextId); });
    if (rc != RTC::RTC_OK) {
      enterError(std::string("onStateUpdate returned ") + returnCodeName(rc));
      return;
    }
  } else if (st == RTC::ERROR_STATE) {
    hook("onError", [this] { return m_component->onError(kContextId); });
  } else {
    return;
  }
  if (config().isChanged()) {
    config().update();
  }
}

void ComponentHost::run(std::promise<void>& started) {
  markHostThread();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started = true;
    m_context = std::this_thread::get_id();
  }
  hook("onStartup", [this] { return m_component->onStartup(kContextId); });
  started.set_value();

  std::unique_lock<std::mutex> lock(m_mutex);
  Clock::time_point next = Clock::now();
  while (true) {
    if (!m_requests.empty()) {
      Request request = std::move(m_requests.front());
      m_requests.pop_front();
      lock.unlock();
      TransitionResult result = perform(request.kind);
      if (request.done) {
        request.done(result);
      }
      lock.lock();
      continue;
    }
    if (m_stopping) {
      break;
    }
    const RTC::LifeCycleState st = state();
    if (st != RTC::ACTIVE_STATE && st != RTC::ERROR_STATE) {
      m_wake.wait(lock, [this] { return !m_requests.empty() || m_stopping; });
      continue;
    }
    if (Clock::now() < next) {
      m_wake.wait_until(lock, next, [this] { return !m_requests.empty() || m_stopping; });
      continue;
    }
    lock.unlock();
    cycle();
    lock.lock();
    next += m_period;
    const Clock::time_point now = Clock::now();
    if (now >= next + m_period) {
      // More than a whole period late: skip the missed deadlines (keeping
      // the phase) and run the next cycle at once.
      next += ((now - next) / m_period) * m_period;
    }
  }
  lock.unlock();
  hook("onShutdown", [this] { return m_component->onShutdown(kContextId); });
  lock.lock();
  m_contextEnded = true;
  const bool finalizeHere = m_finalizeInContext;
  lock.unlock();
  m_ended.notify_all();
  if (finalizeHere) {
    finalize();
    lock.lock();
    m_exited = true;
    lock.unlock();
    m_ended.notify_all();
  }
}

}  // namespace rtm_standin
