// -*- C++ -*-
// TolvarineDriver: a peer of the wheelchair component on OpenRTM-aist. Its
// ports are connected to the wheelchair's (rtc.conf preconnect); its control
// socket lets the demo, tolvarine-teleop and the tests write commands into
// "VelocityIn", receive what "VelocityOut" and "OdmetoryOut" publish, and
// activate, deactivate and inspect the wheelchair through its CORBA objects.
// C++14, built against OpenRTM-aist 1.2 or 2.0.
#ifndef TOLVARINE_RTM_DRIVER_TOLVARINEDRIVER_H
#define TOLVARINE_RTM_DRIVER_TOLVARINEDRIVER_H

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>
#include "ZEQ2.hh"

#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <memory>
#include <mutex>
#include <string>

#include <tolvarine_control/server.h>

class TolvarineDriver : public RTC::DataFlowComponentBase,
                        public tolvarine_control::RequestHandler {
 public:
  explicit TolvarineDriver(RTC::Manager* manager);
  virtual ~TolvarineDriver();

  virtual RTC::ReturnCode_t onInitialize();
  virtual RTC::ReturnCode_t onFinalize();
  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id);

  // Requests of the control protocol; they run in the server's handler
  // threads, so that a transition waiting for the middleware holds up no
  // other client.
  virtual void handle(const tolvarine_control::Request& request);

 private:
  typedef tolvarine_control::Json Json;
  // The wheelchair component at the other end of the connections (nil when
  // nothing is connected), and its instance name.
  RTC::RTObject_ptr findPeer(std::string& instance);
  Json list();
  void transition(const std::string& which, const tolvarine_control::Request& request);
  Json configuration(const Json& request);
  Json write(const Json& request);
  Json subscription(const tolvarine_control::Request& request);
  void publish(const char* port, const char* via, const Json& sample);

  // A port of this component and the sample it reads into or writes from.
  template <class Sample, template <class> class Port>
  struct Bound {
    explicit Bound(const char* name) : port(name, sample) {}
    Sample sample;
    Port<Sample> port;
  };
  // Commands for "VelocityIn" in its own type, and in OpenRTM-aist's
  // RTC::TimedVelocity2D, to show what a peer of the wrong type gets.
  Bound<ZEQ::TimedVelocity2D, RTC::OutPort> m_command{"VelocityCommand"};
  Bound<RTC::TimedVelocity2D, RTC::OutPort> m_rtcCommand{"RtcVelocityCommand"};
  // What "VelocityOut" and "OdmetoryOut" publish; "VelocityOut" also read
  // as RTC::TimedVelocity2D.
  Bound<ZEQ::TimedVelocity2D, RTC::InPort> m_velocity{"Velocity"};
  Bound<ZEQ::TimedPose2D, RTC::InPort> m_odometry{"Odometry"};
  Bound<RTC::TimedVelocity2D, RTC::InPort> m_rtcVelocity{"RtcVelocity"};

  std::mutex m_writeMutex;  // clients write from their own threads
  std::mutex m_peerMutex;
  std::string m_peerInstance;
  std::unique_ptr<tolvarine_control::Server> m_server;
};

extern "C" {
void TolvarineDriverInit(RTC::Manager* manager);
}

#endif  // TOLVARINE_RTM_DRIVER_TOLVARINEDRIVER_H
