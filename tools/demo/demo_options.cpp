#include "demo_options.h"

#include "command_line.h"

namespace tolvarine_demo {

void addOptions(CLI::App& app, Options& o, const std::string& openRtmVersion) {
  using tolvarine_tools::addNumber;
  using tolvarine_tools::addText;
  app.description(
      "Drives a simulated wheelchair through the RT component TolvarineContorollerModule and "
      "shows where it went. Starts the simulated control board on a pseudo-terminal, writes "
      "rtc.conf and the component's configuration file into the output folder, starts the "
      "component, activates it over a control socket (the stand-in host's, or on OpenRTM-aist "
      "the driver component's, see --middleware) and sends a scripted drive to \"VelocityIn\" "
      "(about a minute: straight runs, turns both ways, a reversal, stops). Every command sent, "
      "every \"VelocityOut\" and \"OdmetoryOut\" sample received, the board's true pose (every "
      "10 ms) and every command frame the board received go into CSV files; then the component "
      "is deactivated (the chair stops) and shut down, gnuplot draws path.png and velocity.png, "
      "and a summary compares the odometry with the ground truth.");
  app.footer(
      "Needs gnuplot with the pngcairo terminal (Debian: gnuplot-nox).\n"
      "Exit status: 0 done, 1 something failed (the message says what), 2 bad options,\n"
      "130 interrupted. Ctrl-C stops the chair, shuts the component down and removes\n"
      "the socket and the device link; the CSV files recorded so far stay.");
  app.add_flag("--short", o.shortForm,
               "the short script (about 9 s of driving) instead of the full one");
  addText(app, "--output", o.output,
          "output folder (default out/demo; created, earlier results of the demo in it are "
          "replaced)",
          "DIR");
  addNumber(app, "--duration", o.duration, "stretch or shrink the script to last SECONDS",
            "SECONDS", 5, 3600, "seconds from 5 to 3600");
  // The component refuses a context slower than 10 Hz.
  addNumber(app, "--rate", o.rate,
            "execution-context rate of the component (default 30; each cycle waits for a fresh "
            "status frame, one every 30 ms)",
            "HZ", 10, 1000, "Hz from 10 to 1000");
  addNumber(app, "--tread", o.tread,
            "\"Tolvarine_Tread_meter\" for the component (default 0.2744, half the wheel tread: "
            "the chair then turns at the commanded angular velocity; the component's own default "
            "0.5488 makes it turn twice as fast)",
            "METRES", 0.05, 2, "metres from 0.05 to 2");
  app.add_option_function<std::string>(
         "--middleware", [&o](const std::string& name) { o.openrtm = name == "openrtm"; },
         "standin (default): the component built against the in-tree stand-in, driven over its "
         "host's control socket; openrtm: the component built against OpenRTM-aist" +
             (openRtmVersion.empty() ? std::string() : " " + openRtmVersion) +
             ", registered in a naming service of its own (omniNames) and driven by the driver "
             "component tolvarine-rtm-driver, whose ports the middleware connects to the "
             "wheelchair's (needs a build that found OpenRTM-aist)")
      ->option_text("NAME")
      ->check(CLI::IsMember({"standin", "openrtm"}));
  addText(app, "--component", o.component,
          "the component executable (default: the one built with this program for the "
          "middleware)",
          "PATH");
  app.add_flag("--silent-board", o.silentBoard,
               "the simulated board never answers (shows the failure path)");
}

}  // namespace tolvarine_demo
