// Drives the chair through a serial port with AutoController, using only the
// library's public headers, as a program of a user would. Built for Linux and
// for Windows from this one file; the end-to-end test runs both against the
// simulated board and compares what reached the wire.
//
//   com_port_drive PORT drive   the scripted drive below, in step with the
//                               test through standard input and output
//   com_port_drive PORT open    connect, a few cycles, let go
//
// Lines on standard output say where the script is; the library's own lines
// go to standard error. Exit 0 when the script ran, 3 when the port could
// not be brought up, 4 when the link loss was not seen, 2 on bad usage.
#include <tolvarine_controller/tolvarine_controller.h>

#include <iostream>
#include <string>

namespace tc = tolvarine_controller;

namespace {

void say(const std::string& line) {
  std::cout << line << std::endl;
}

// One renewal waits for the next status frame: one link cycle while the
// board answers.
void cycles(tc::AutoController& chair, int count) {
  for (int i = 0; i < count; ++i) {
    chair.renewOdometory(true);
  }
}

int drive(tc::AutoController& chair) {
  cycles(chair, 12);  // at rest long enough for the rest mark
  say("arc");
  chair.setSendDataVRL(0.3, 0.2);  // a left arc: 15 and 10 steps of 21 mm/s
  cycles(chair, 40);
  say("spin");
  chair.setSendDataVRL(-0.1, 0.1);  // on the spot, both wheels through zero
  cycles(chair, 40);
  say("straight");
  chair.setSendDataVRL(0.25, 0.25);
  cycles(chair, 40);

  // The test silences the board now; the library must notice within its
  // 300 ms and bring the chair to rest on its own.
  say("silence");
  for (int i = 0; i < 100 && chair.getLinkState() != tc::LinkState::Lost; ++i) {
    chair.renewOdometory(true);  // returns after at most about 100 ms
  }
  if (chair.getLinkState() != tc::LinkState::Lost) {
    say("link loss not seen");
    return 4;
  }
  say("lost");
  // The test answers once the board has seen the chair at rest (or ends
  // our input when it gives up).
  std::string reply;
  std::getline(std::cin, reply);
  say("letting go after '" + reply + "'");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (argc != 3 || (mode != "drive" && mode != "open")) {
    std::cerr << "usage: com_port_drive PORT drive|open" << std::endl;
    return 2;
  }
  const std::string port = argv[1];
  int status = 0;
  {
    tc::AutoController chair(0.7);
    if (!chair.initialize(port, -1)) {
      say("initialize failed");
      return 3;
    }
    say("connected");
    if (mode == "open") {
      cycles(chair, 10);
    } else {
      status = drive(chair);
    }
  }  // the last frame on the wire is the stop command
  say("done");
  return status;
}
