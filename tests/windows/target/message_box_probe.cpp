// Opens a port that cannot be opened through AutoController while a second
// thread watches for the library's message box. A box that comes up while
// initialize still waits is reported with its text and dismissed, as a
// person would; then the program says how initialize ended.
//
//   message_box_probe PORT
//
// Lines on standard output: "box: TEXT" and "dismissed while initialize
// waited" when a box came up, "no box" when none did, and "initialize
// failed" or "initialize succeeded".
#include <windows.h>

#include <tolvarine_controller/tolvarine_controller.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

namespace {

struct Search {
  DWORD process;
  HWND box;
};

// A message box is a dialog (class "#32770") of this process.
BOOL CALLBACK findBox(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (owner == search->process && std::wstring(className) == L"#32770" && IsWindowVisible(window)) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

std::string utf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                        nullptr, nullptr);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: message_box_probe PORT" << std::endl;
    return 2;
  }
  std::atomic<bool> returned{false};
  bool dismissed = false;
  std::thread watcher([&] {
    // At most a minute: the library gives up on a port at once, so a box
    // is either up by then or not coming.
    for (int i = 0; i < 3000 && !returned; ++i) {
      Search search{GetCurrentProcessId(), nullptr};
      EnumWindows(findBox, reinterpret_cast<LPARAM>(&search));
      if (search.box != nullptr) {
        // The text is the box's static control, id 0xFFFF.
        wchar_t text[256] = {};
        GetDlgItemTextW(search.box, 0xFFFF, text, 256);
        std::cout << "box: " << utf8(text) << std::endl;
        dismissed = !returned;
        SendMessageW(search.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return;
      }
      Sleep(20);
    }
  });
  bool initialized = false;
  {
    tolvarine_controller::AutoController chair(0.7);
    initialized = chair.initialize(argv[1], -1);
  }
  returned = true;
  watcher.join();
  std::cout << (dismissed ? "dismissed while initialize waited" : "no box") << std::endl;
  std::cout << (initialized ? "initialize succeeded" : "initialize failed") << std::endl;
  return 0;
}
