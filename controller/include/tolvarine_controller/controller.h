#ifndef TOLVARINE_CONTROLLER_CONTROLLER_H
#define TOLVARINE_CONTROLLER_CONTROLLER_H

#include <atomic>
#include <cstdint>
#include <string>

#include "tolvarine_controller/export.h"
#include "tolvarine_controller/link_state.h"
#include "tolvarine_controller/odometory.h"
#include "tolvarine_controller/receive_converter.h"
#include "tolvarine_controller/send_data.h"
#include "tolvarine_controller/send_function_converter.h"
#include "tolvarine_controller/wheel_status.h"

namespace tolvarine_controller {

class Connector;  // the serial link; internal to the library

// Brings the link to the wheelchair's control board up and down, hands drive
// commands to it and keeps the odometry. Interface units are metres, metres
// per second and radians.
class TOLVARINE_CONTROLLER_API Controller {
 public:
  Controller();
  // Releases everything as finalize() does.
  virtual ~Controller();

  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Takes every status frame queued since the last call (with `wait`, first
  // waits for the next one, at most about 100 ms), integrates them and
  // returns the result. Unconnected: the stored pose with a zero step.
  virtual Odometory renewOdometory(bool wait);
  // The stored odometry; consumes nothing.
  virtual Odometory getOdometory();
  // All ten values to 0; the wheel records stay.
  virtual void resetOdometory();
  // Opens `port`, waits for the board and starts the link. `direction` is -1
  // for the forward mounting, any other value for the reversed one. Blocks
  // for the handshake and a 2 s settling pause. False, with a console line,
  // when the link cannot be brought up, and false at once when connected.
  virtual bool initialize(const std::string& port, const int& direction);
  // Sets the pose; time, distance and step go to 0. The wheel records stay.
  virtual void initRobotPose(const double& x, const double& y, const double& theta);

  bool isInitialized() const;
  // Whether the board is answering. Lost once it has sent no valid status
  // frame for 300 ms (the link's own console line says so); an
  // AutoController then brings the chair to rest and keeps it there until
  // it is given a new command.
  LinkState getLinkState() const;
  // Losses of the link since the last initialize (0 while unconnected). The
  // state above may already say Connected again when a caller looks; the
  // count keeps every loss, however brief, so that a caller that must not
  // carry on after one (a component going to its error state) sees it.
  std::uint32_t getLinkLossCount() const;
  // For shutting down from another thread: an initialize under way gives up
  // within a few tens of milliseconds, having sent only stop commands, and
  // every later initialize fails at once. Safe to call at any time.
  void abortInitialize();

  // Makes `data` the link's current command; with `wait`, returns once the
  // link has taken it for its next transmission. The send operations do
  // nothing on an unconnected controller.
  void setSendData(const SendData& data, const bool& wait);
  // Drives on a circle of `radius` m (positive turns left) at `velocity` m/s.
  void setSendDataRV(const double& radius, const double& velocity, const bool& wait);
  // Right and left wheel velocities in m/s.
  void setSendDataVRL(const double& right, const double& left, const bool& wait);

  // Wheel travel of the last renewal and since initialize (mm, s); zero
  // records on an unconnected controller.
  WheelStatus getStepWheelStatus();
  WheelStatus getTotalWheelStatus();

 protected:
  // Stops and releases the link and both converters; always true.
  bool finalize();

  Connector* connector;
  Odometory odometory;
  bool initialized;
  ReceiveConverter* receiveConverter;
  SendFunctionConverter* sendConverter;

 private:
  std::atomic<bool> initializeAborted;
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_CONTROLLER_H
