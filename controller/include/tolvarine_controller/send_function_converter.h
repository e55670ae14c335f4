#ifndef TOLVARINE_CONTROLLER_SEND_FUNCTION_CONVERTER_H
#define TOLVARINE_CONTROLLER_SEND_FUNCTION_CONVERTER_H

#include <cstdint>

#include "tolvarine_controller/export.h"
#include "tolvarine_controller/send_converter.h"

namespace tolvarine_controller {

// Linear speed-byte function per wheel: count = floor(v[m/s] * gain + offset).
class TOLVARINE_CONTROLLER_API SendFunctionConverter : public SendConverter {
 public:
  SendFunctionConverter();
  ~SendFunctionConverter() override;

  SendData convertRV(const double& radius, const double& velocity) override;
  SendData convertVRL(const double& right, const double& left) override;

  // -1 forward mounting, anything else reversed. The owner stores the
  // direction it was initialised with; -1 until then.
  std::int32_t direction = -1;
  // The wheel speeds (mm/s) at which each speed byte saturates at 255 counts,
  // (+/-255 - offset) / gain: about +/-2068 right and +/-2050 left. The
  // automatic controller clamps its wheel commands to these; the converter
  // itself never reads them.
  double rightMax;
  double rightMin;
  double leftMax;
  double leftMin;
  double rightGain;    // counts per m/s
  double rightOffset;  // counts
  double leftGain;     // counts per m/s
  double leftOffset;   // counts
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_SEND_FUNCTION_CONVERTER_H
