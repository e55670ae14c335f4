#ifndef TOLVARINE_CONTROLLER_ODOMETORY_H
#define TOLVARINE_CONTROLLER_ODOMETORY_H

#include "tolvarine_controller/export.h"

namespace tolvarine_controller {

// Dead-reckoned pose (`total`) and the increment of the latest update
// (`step`). Passed by value across the library boundary, so the field order
// is part of the interface.
class TOLVARINE_CONTROLLER_API Odometory {
 public:
  // Both blocks share this layout.
  struct Block {
    double x = 0.0;         // m
    double y = 0.0;         // m
    double theta = 0.0;     // rad, counter-clockwise positive, never wrapped
    double time = 0.0;      // s
    double distance = 0.0;  // m, sum of chord lengths, never negative
  };

  Odometory() = default;
  Odometory(const Odometory&) = default;
  Odometory& operator=(const Odometory&) = default;
  virtual ~Odometory();

  // Pose in the odometry frame, with time and path length since the last
  // reset.
  Block total;
  // Latest update: x and y in the robot frame at the start of the update
  // (x ahead, y to the left), theta, time and path length of that update.
  Block step;
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_ODOMETORY_H
