// The settings a chair must not be driven with. The middleware turns a
// parameter's text into its variable with a stream extraction that takes
// "0.5abc" as 0.5 and, when it cannot convert at all ("abc", "NaN", 1e400,
// an empty text), silently falls back to the default; a tread in millimetres
// instead of metres spins the chair at full wheel speed on a gentle turn.
// So the component reads the text itself and refuses what makes no sense.
#ifndef TOLVARINE_COMPONENT_PARAMETER_CHECKS_H
#define TOLVARINE_COMPONENT_PARAMETER_CHECKS_H

#include <string>

namespace tolvarine_component {

// Largest tread taken, m: a wheelchair is narrower; a value above it is a
// slip of the unit (548.8 for 0.5488) or of the finger.
const double kMaxTreadM = 2.0;
// Longest command time-out taken, s; above a day it is as good as off.
const double kMaxCommandTimeoutS = 86400.0;
// Slowest execution context taken, Hz: a stop must reach the wire within
// about 100 ms of its arrival.
const double kMinExecutionRateHz = 10.0;

// The whole text, blanks around it aside, as one finite decimal number.
bool parseNumber(const std::string& text, double& value);

// Each check returns an empty text when the setting can be used and stores
// the value; otherwise it returns why not, for the console, and leaves the
// value alone.
std::string checkTread(const std::string& text, double& treadM);
std::string checkCommandTimeout(const std::string& text, double& seconds);
std::string checkExecutionRate(double rateHz);

}  // namespace tolvarine_component

#endif  // TOLVARINE_COMPONENT_PARAMETER_CHECKS_H
