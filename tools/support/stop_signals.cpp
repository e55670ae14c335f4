#include "stop_signals.h"

#include <signal.h>

#include <atomic>

namespace tolvarine_tools {

namespace {

std::atomic<int> g_stopSignals{0};

extern "C" void countStopSignal(int) {
  g_stopSignals.fetch_add(1);
}

}  // namespace

void installStopHandlers(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void installStopHandlers() {
  installStopHandlers(countStopSignal);
}

int stopSignals() {
  return g_stopSignals.load();
}

}  // namespace tolvarine_tools
