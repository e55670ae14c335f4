#ifndef TOLVARINE_CONTROLLER_CONNECTOR_H
#define TOLVARINE_CONTROLLER_CONNECTOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "link_monitor.h"
#include "tolvarine_controller/frame.h"
#include "tolvarine_controller/receive_data.h"
#include "tolvarine_controller/send_data.h"

namespace tolvarine_controller {

namespace platform {
struct SerialPort;
}
class CycleClock;

// The serial link with the wheelchair's control board: opens the port, proves
// the board answers, then runs one communication thread that every 30 ms
// writes the current command frame, reads the status frame and queues it.
// The cycles keep to absolute deadlines of the monotonic clock, so they
// neither drift nor gather the time each one takes.
//
// Use: open, connect, startThread; then setSendData / getReceiveData while the
// thread runs; stopThread and close (or destroy) to shut down.
class Connector {
 public:
  Connector();
  virtual ~Connector();  // close()
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // Opens and configures the port. On an already open connector the port is
  // not reopened: the name is stored and both queues are purged.
  bool open(const std::string& portName);
  // Sends stop commands until one valid status frame comes back, for at most
  // 10 s. Runs on the caller's thread before startThread. Gives up within
  // one attempt (a few tens of milliseconds) once `abandon` is set.
  bool connect(const std::atomic<bool>* abandon = nullptr);
  // Starts the communication thread if the port is open and none runs.
  void startThread();
  // Replaces the command sent on every cycle. With `wait`, returns once the
  // thread has written a frame carrying it (or stopThread notifies).
  void setSendData(const SendData& data, bool wait);
  // The frames are numbered from 1 (the handshake's included); a command
  // set now goes out in frame nextFrame() at the earliest.
  std::uint32_t nextFrame();
  // Makes `data` the command from frame `frame` on, unless the thread has
  // already taken that frame's command: then nothing changes and the result
  // is false. A caller that has set a command for a frame can still change
  // it for that frame.
  bool setSendDataForFrame(const SendData& data, std::uint32_t frame);
  // Returns once the thread has written frame `frame` (or stopThread).
  void waitForFrame(std::uint32_t frame);
  // Hands over every queued status record, oldest first, and empties the
  // queue. With `wait`, first waits once for the next valid record (or
  // stopThread), even if records are already queued.
  void getReceiveData(std::vector<ReceiveData>& out, bool wait);
  // Same as getReceiveData(out, true), but the one wait ends after `limit` at
  // the latest, so a silent board cannot block the caller for good.
  void getReceiveDataFor(std::vector<ReceiveData>& out, std::chrono::milliseconds limit);
  // Stops and joins the thread; its last frame is a stop command.
  void stopThread();
  // The board has sent no valid status frame for the loss limit (300 ms);
  // cleared by the next valid frame.
  bool isLinkLost() const;
  // Losses since the thread started, so that a caller notices one that has
  // come and gone between two looks.
  std::uint32_t getLinkLossCount() const;
  // Stops the thread and closes the port. Always true.
  bool close();

 private:
  // What one read of the board's reply brought.
  enum class Reply {
    None,      // not a byte
    Frame,     // a valid status frame, in the buffer
    Rejected,  // bytes, but no valid frame among them
  };

  bool send(const SendData& data);
  // Reads the board's reply, realigning on the start byte after noise.
  // Within `cycle`, the reads end at its deadline at the latest.
  Reply receive(StatusFrame& buffer, const CycleClock* cycle = nullptr);
  bool pushReceiveData(const ReceiveData& data, std::int32_t elapsed);
  static void run(void* connector);
  void communicate();
  void report(const LinkReport& report);

  SendData command;                       // sent every cycle; sendMutex
  std::vector<ReceiveData> receiveQueue;  // valid records not yet taken; receiveMutex
  bool isOpen;
  std::atomic<bool> isRunning;
  std::string portName;                        // name given to the last successful open
  boost::mutex portMutex;                      // all port input and output; taken before sendMutex
  boost::mutex sendMutex;                      // command, sendCount
  boost::mutex receiveMutex;                   // receiveQueue, parityErrorCount; always taken alone
  boost::condition_variable receiveCondition;  // a valid record was queued
  boost::condition_variable sendCondition;     // a command frame is being written
  platform::SerialPort* port;                  // owned; null while closed
  boost::thread* thread;                       // owned; null while no thread
  std::uint32_t parityErrorCount;              // consecutive records flagged by the parity test
  std::uint32_t sendCount;                     // frames sent since construction; feeds the sequence
  std::atomic<bool> linkLost;                  // mirrors the thread's LinkMonitor
  std::atomic<std::uint32_t> linkLossCount;    // mirrors the thread's LinkMonitor
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_CONNECTOR_H
