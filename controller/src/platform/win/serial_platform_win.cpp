// Win32 serial port (synchronous, no overlapped I/O), WinMM tick and timer
// resolution, performance-counter clock, waitable-timer sleeps, thread
// priority. The port name is the device path, used as given: "COM1" opens
// COM1; ports above COM9 need the "\\.\COM10" form.

#include "platform/serial_platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// WinMM needs the Windows types declared first.
#include <mmsystem.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

// Older SDK headers lack it; systems before Windows 10 1803 refuse it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace tolvarine_controller {
namespace platform {

struct SerialPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint32_t transferred = 0;
  DCB dcb{};
};

namespace {

static_assert(sizeof(DCB) == 28, "the device control block is written with DCBlength 28");

// A read returns when its bytes have arrived or `readWindowMs` has passed:
// the interval time-out is left out of play (0xFFFF, not MAXDWORD, which
// would make reads return at once), the total time-out is a constant. A
// window of 0 would turn the total time-out off and let the read wait for
// good; MAXDWORD without a total is the way to take only what is there.
COMMTIMEOUTS lineTimeouts(DWORD readWindowMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = readWindowMs == 0 ? MAXDWORD : 0xFFFF;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = readWindowMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteWindowMs;
  return timeouts;
}

// The name is taken in the ANSI code page, as the rest of the program sees it.
std::wstring toWide(const std::string& name) {
  const int length = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, nullptr, 0);
  if (length <= 0) {
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<std::size_t>(length) - 1);  // the terminator stays implicit
  return wide;
}

// Line settings on top of what the driver reports; the fields not listed keep
// the values read.
void applyLineSettings(DCB& dcb) {
  dcb.DCBlength = 28;
  dcb.BaudRate = 38400;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  // fDummy2, the upper reserved flag bits, and wReserved1 stay as read.
  dcb.wReserved = 0;
  dcb.XonLim = 2048;
  dcb.XoffLim = 4096;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0x03;
  dcb.EvtChar = 0x02;
}

// Each sleeping thread has a timer of its own, made on its first sleep. A
// high-resolution timer (Windows 10 1803 on) ends within a fraction of a
// millisecond; older systems refuse the flag and get a plain one, which
// keeps to the 1 ms timer period asked for in beginTimerResolution.
class ThreadTimer {
 public:
  ThreadTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS)) {
    if (handle_ == nullptr) {
      handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
  }
  ~ThreadTimer() {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
    }
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// The system's own words for an error code, in UTF-8 like the rest of the
// console, without the line break it ends with.
std::string systemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string message;
  if (length > 0 && text != nullptr) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes > 0) {
      message.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &message[0], bytes, nullptr,
                          nullptr);
    }
  }
  LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

// The message box is modal: it waits for a person to dismiss it. Where
// nobody can, it is left out and the console line stands alone:
// - TOLVARINE_MESSAGE_BOX=off (or 0, no) says so for an unattended run: a
//   test, CI, a scheduled task, a program started by another;
// - a service's window station is invisible, and a box there would wait
//   for good.
// On a desktop the box shows as it always has. (Under Wine without a
// display MessageBoxW fails at once; with one it waits like Windows.)
bool messageBoxWanted() {
  const char* setting = std::getenv("TOLVARINE_MESSAGE_BOX");
  if (setting != nullptr) {
    const std::string value = setting;
    if (value == "off" || value == "0" || value == "no") {
      return false;
    }
  }
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  if (station != nullptr &&
      GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
      (flags.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  return true;
}

bool configure(SerialPort& port) {
  SetCommMask(port.handle, 0);
  SetupComm(port.handle, kQueueBytes, kQueueBytes);
  COMMTIMEOUTS timeouts = lineTimeouts(kReadWindowMs);
  SetCommTimeouts(port.handle, &timeouts);

  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(port.handle, &dcb);
  applyLineSettings(dcb);
  // Some drivers take the settings only on the second try; the second
  // result is the one that counts.
  SetCommState(port.handle, &dcb);
  const BOOL applied = SetCommState(port.handle, &dcb);
  port.dcb = dcb;
  return applied != FALSE;
}

}  // namespace

SerialPort* openSerialPort(const std::string& name) {
  const std::wstring device = toWide(name);
  const HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    reportOpenFailure(name, static_cast<int>(GetLastError()));
    return nullptr;
  }
  SerialPort* port = new SerialPort;
  port->handle = handle;
  if (!configure(*port)) {
    reportSetupFailure(
        name, "the line settings were refused (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(handle);
    delete port;
    return nullptr;
  }
  return port;
}

void closeSerialPort(SerialPort* port) {
  if (port == nullptr) {
    return;
  }
  CloseHandle(port->handle);
  delete port;
}

bool purgeInput(SerialPort& port) {
  return PurgeComm(port.handle, PURGE_RXCLEAR) != FALSE;
}

bool purgeOutput(SerialPort& port) {
  return PurgeComm(port.handle, PURGE_TXCLEAR) != FALSE;
}

bool readSerialPort(SerialPort& port, std::uint8_t* buffer, std::size_t size, std::int64_t windowNs,
                    std::size_t& received) {
  // The driver counts whole milliseconds: rounded down, so that a window cut
  // to a deadline ends before it.
  const DWORD windowMs = windowNs <= 0 ? 0 : static_cast<DWORD>(windowNs / kNsPerMs);
  // The port keeps the standard read window; another window is set for this
  // one read only.
  const bool otherWindow = windowMs != kReadWindowMs;
  if (otherWindow) {
    COMMTIMEOUTS timeouts = lineTimeouts(windowMs);
    SetCommTimeouts(port.handle, &timeouts);
  }
  DWORD count = 0;
  const BOOL ok = ReadFile(port.handle, buffer, static_cast<DWORD>(size), &count, nullptr);
  if (otherWindow) {
    COMMTIMEOUTS timeouts = lineTimeouts(kReadWindowMs);
    SetCommTimeouts(port.handle, &timeouts);
  }
  port.transferred = count;
  received = count;
  return ok != FALSE;
}

bool writeSerialPort(SerialPort& port, const std::uint8_t* data, std::size_t size) {
  DWORD count = 0;
  const BOOL ok = WriteFile(port.handle, data, static_cast<DWORD>(size), &count, nullptr);
  port.transferred = count;
  return ok != FALSE;
}

std::uint32_t tickMs() {
  return timeGetTime();
}

std::int64_t monotonicNs() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const std::int64_t count = counter.QuadPart;
  // In two parts, so that counts times 10^9 cannot overflow.
  return count / frequency * 1000000000 + count % frequency * 1000000000 / frequency;
}

void sleepUntil(std::int64_t deadlineNs) {
  thread_local const ThreadTimer timer;
  for (;;) {
    const std::int64_t left = deadlineNs - monotonicNs();
    if (left <= 0) {
      return;
    }
    // Negative: relative, in 100 ns units, worked out from the deadline just
    // now. A positive (absolute) due time is on the wall clock, which can be
    // set while we sleep.
    LARGE_INTEGER due;
    due.QuadPart = -((left + 99) / 100);
    if (timer.handle() == nullptr ||
        !SetWaitableTimer(timer.handle(), &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(static_cast<DWORD>((left + kNsPerMs - 1) / kNsPerMs));
      continue;
    }
    WaitForSingleObject(timer.handle(), INFINITE);
  }
}

void beginTimerResolution() {
  timeBeginPeriod(1);
}

void raiseCurrentThreadPriority() {
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
    std::cerr << "connector warning: communication thread keeps its normal priority (error "
              << GetLastError() << ")" << std::endl;
  }
}

void reportOpenFailure(const std::string& name, int code) {
  // The reason goes to the console in any case, where a log keeps it.
  std::cerr << u8"\u30DD\u30FC\u30C8\u30AA\u30FC\u30D7\u30F3\u5931\u6557 CODE=" << code << ' '
            << name << ": " << systemMessage(static_cast<DWORD>(code)) << std::endl;
  if (!messageBoxWanted()) {
    return;
  }
  // "Port open failed CODE=%d" in Japanese, spelled with escapes so that the
  // text (and this file) does not depend on the compiler's source code page.
  wchar_t text[64];
  wsprintfW(text, L"\u30DD\u30FC\u30C8\u30AA\u30FC\u30D7\u30F3\u5931\u6557 CODE=%d", code);
  // No owner window, the system's default caption; blocks until dismissed.
  MessageBoxW(nullptr, text, nullptr, MB_OK);
}

}  // namespace platform
}  // namespace tolvarine_controller
