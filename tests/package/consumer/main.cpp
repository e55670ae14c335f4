// Uses the installed library through its public headers only.
#include <tolvarine_controller/tolvarine_controller.h>

#include <cmath>
#include <iostream>
#include <string>
#include <vector>

namespace tc = tolvarine_controller;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::cerr << "package consumer: FAILED " << what << std::endl;
    ++failures;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--help") {
    std::cout << "usage: package_consumer\n"
                 "Links the installed TolvarineController and exercises it without a board.\n";
    return 0;
  }

  // Odometry from one status frame: 10 counts ahead on the right wheel for
  // one second is 195.333 mm.
  tc::ReceiveConverter converter(-1);
  tc::ReceiveData frame;
  frame.isValid = true;
  frame.wheelSpeed1 = 128;
  frame.wheelSpeed2 = 138;
  frame.elapsed = 1000;
  const tc::Odometory moved =
      converter.convert(std::vector<tc::ReceiveData>{frame}, tc::Odometory());
  check(std::fabs(moved.total.theta - 0.355928) < 1e-6, "arc heading");
  check(std::fabs(converter.total.right - 195.333333) < 1e-5, "wheel totals");

  tc::SendFunctionConverter sendConverter;
  const tc::SendData command = sendConverter.convertVRL(1000, 1000);
  check(command.rightSpeed == 123 && command.leftSpeed == 125, "command conversion");

  // The controllers, unconnected: the pose is kept, nothing is sent.
  tc::JoyStickController joystick(0.5, 0.7);
  joystick.initRobotPose(1.0, 2.0, 0.5);
  joystick.setSendDataXY(0.6, 0.8);
  const tc::Odometory pose = joystick.renewOdometory(false);
  check(pose.total.x == 1.0 && pose.total.y == 2.0 && pose.total.theta == 0.5, "pose");

  tc::AutoController autoController;
  autoController.setSendDataVRL(0.1, 0.1);
  check(!autoController.initialize("/nonexistent/tolvarine-package-test", -1),
        "initialize on a missing device fails");
  tc::Controller& base = autoController;
  base.resetOdometory();
  check(!base.isInitialized() && base.getOdometory().total.x == 0.0, "through the base");

  if (failures != 0) {
    return 1;
  }
  std::cout << "package consumer: ok" << std::endl;
  return 0;
}
