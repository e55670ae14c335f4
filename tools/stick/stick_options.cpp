#include "stick_options.h"

#include <sstream>

#include "command_line.h"

namespace tolvarine_stick {

namespace {

constexpr const char* kDescription =
    "Drives the wheelchair with a gamepad: the chair's serial port is opened directly,\n"
    "without the middleware. Up on the stick drives forward, sideways turns; full\n"
    "deflection is --max-speed, and every change of speed is ramped at --max-acc.\n"
    "\n"
    "The chair moves only while the dead-man button (--button) is held, and only once\n"
    "the stick has been centred since the button was pressed. Letting go of the button\n"
    "brings the chair to rest through the ramp. Losing the gamepad (unplugged, a read\n"
    "error, a FIFO whose writer closed it), SIGINT, SIGTERM and SIGHUP bring it to rest\n"
    "through the ramp, send the stop command last, and end the program. A gamepad sends\n"
    "nothing while it is held still, so the device, not its events, is watched: it is\n"
    "checked at least every --watch-ms milliseconds.\n";

constexpr const char* kFooter =
    "\n"
    "The device may also be a FIFO carrying the joystick API's 8-byte events.\n"
    "Find the numbers of your axes and buttons with jstest (Debian package joystick):\n"
    "  jstest /dev/input/js0\n"
    "\n"
    "Exit status: 0 stopped by a signal with the chair at rest, 1 the gamepad was lost\n"
    "or the chair could not be connected or confirmed at rest, 2 bad command line.\n";

// A finite number above 0 and at most `most`: a typo such as 5 for 0.5 must
// not reach the chair.
CLI::Validator positiveUpTo(double most, const std::string& unit) {
  std::ostringstream label;
  label << "(0, " << most << "] " << unit;
  return CLI::Validator(
      [most, unit](std::string& text) {
        double value = 0.0;
        if (tolvarine_tools::parseNumber(text, 0.0, most, value) && value > 0.0) {
          return std::string();
        }
        std::ostringstream why;
        why << "'" << text << "' is not a number above 0 and at most " << most << " " << unit;
        return why.str();
      },
      label.str());
}

}  // namespace

int parseStickOptions(int argc, char** argv, StickOptions& options) {
  CLI::App app(kDescription, "tolvarine-stick");
  app.footer(kFooter);
  std::string direction = "FORWARD";
  app.option_defaults()->always_capture_default();

  app.add_option("-p,--port", options.port,
                 "the chair's serial port, e.g. /dev/ttyUSB0 (38400 baud 8N1)")
      ->required();
  app.add_option("-d,--device", options.device, "the gamepad: a joystick device or a FIFO")
      ->capture_default_str();
  app.add_option("-b,--button", options.button, "number of the dead-man button")
      ->check(CLI::Range(0u, 255u));
  app.add_option("-x,--axis-x", options.axes.x, "number of the sideways axis")
      ->check(CLI::Range(0u, 255u));
  app.add_option("-y,--axis-y", options.axes.y, "number of the up and down axis")
      ->check(CLI::Range(0u, 255u));
  app.add_flag("--invert-x", options.axes.invertX, "right on the stick turns left");
  app.add_flag("--invert-y", options.axes.invertY, "down on the stick drives forward");
  app.add_option("--max-speed", options.maxSpeed, "wheel speed at full deflection, m/s")
      ->check(positiveUpTo(2.0, "m/s"));
  app.add_option("--max-acc", options.maxAcc, "largest change of a wheel's speed, m/s^2")
      ->check(positiveUpTo(3.0, "m/s^2"));
  app.add_option("--direction", direction,
                 "how the chair is mounted: FORWARD, or BACK when it is driven the other way")
      ->check(CLI::IsMember({"FORWARD", "BACK"}));
  app.add_option("--watch-ms", options.watchMs,
                 "longest time between two checks that the gamepad is still there")
      ->check(CLI::Range(10u, 1000u));

  app.callback([&options] {
    if (options.axes.x == options.axes.y) {
      throw CLI::ValidationError("--axis-x and --axis-y name the same axis " +
                                 std::to_string(options.axes.x));
    }
  });
  const int status = tolvarine_tools::parseCommandLine(app, argc, argv);
  options.direction = direction == "BACK" ? 1 : -1;
  return status;
}

}  // namespace tolvarine_stick
