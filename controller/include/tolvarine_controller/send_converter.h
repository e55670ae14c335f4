#ifndef TOLVARINE_CONTROLLER_SEND_CONVERTER_H
#define TOLVARINE_CONTROLLER_SEND_CONVERTER_H

#include "tolvarine_controller/export.h"
#include "tolvarine_controller/send_data.h"

namespace tolvarine_controller {

// Turns drive commands into command records. Units are millimetres and
// millimetres per second.
class TOLVARINE_CONTROLLER_API SendConverter {
 public:
  virtual ~SendConverter();

  // radius in mm (positive turns left at a positive speed), velocity in mm/s.
  virtual SendData convertRV(const double& radius, const double& velocity) = 0;
  // right and left wheel velocities in mm/s.
  virtual SendData convertVRL(const double& right, const double& left) = 0;

 protected:
  // Copyable only as part of a concrete converter, never sliced.
  SendConverter() = default;
  SendConverter(const SendConverter&) = default;
  SendConverter& operator=(const SendConverter&) = default;
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_SEND_CONVERTER_H
