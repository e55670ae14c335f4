#ifndef TOLVARINE_TOOLS_STOP_SIGNALS_H
#define TOLVARINE_TOOLS_STOP_SIGNALS_H

namespace tolvarine_tools {

// Sends SIGINT, SIGTERM and SIGHUP to `handler`, so that a tool can stop the
// chair before it ends, and ignores SIGPIPE: a closed socket then shows up
// as an error where the tool writes, not as a silent death.
void installStopHandlers(void (*handler)(int));
// The same with a handler that only counts them (see stopSignals()).
void installStopHandlers();
// How many stop signals have come since installStopHandlers().
int stopSignals();

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_STOP_SIGNALS_H
