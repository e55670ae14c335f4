// Uses the installed library through its public headers only (all of them,
// through the one that includes the others).
#include <tolvarine_controller/tolvarine_controller.h>

#include <cmath>
#include <iostream>
#include <string>
#include <vector>

namespace tc = tolvarine_controller;

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--help") {
    std::cout << "usage: package_consumer\n"
                 "Links the installed TolvarineController and exercises it without a board.\n";
    return 0;
  }
  // 10 counts ahead on the right wheel for one second: 195.333 mm, an arc
  // of 0.355928 rad; 1 m/s on both wheels is 123 and 125 counts.
  tc::ReceiveConverter converter(-1);
  tc::ReceiveData frame;
  frame.isValid = true;
  frame.wheelSpeed1 = 128;
  frame.wheelSpeed2 = 138;
  frame.elapsed = 1000;
  const tc::Odometory moved =
      converter.convert(std::vector<tc::ReceiveData>{frame}, tc::Odometory());
  const tc::SendData command = tc::SendFunctionConverter().convertVRL(1000, 1000);
  // The controllers, unconnected: the pose is kept, a missing device refused.
  tc::JoyStickController joystick(0.5, 0.7);
  joystick.initRobotPose(1.0, 2.0, 0.5);
  tc::AutoController autoController;
  tc::Controller& base = autoController;
  if (std::fabs(moved.total.theta - 0.355928) > 1e-6 || command.rightSpeed != 123 ||
      command.leftSpeed != 125 || joystick.renewOdometory(false).total.y != 2.0 ||
      base.initialize("/nonexistent/tolvarine-package-test", -1)) {
    std::cerr << "package consumer: FAILED" << std::endl;
    return 1;
  }
  std::cout << "package consumer: ok" << std::endl;
  return 0;
}
