#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "tolvarine_control/client.h"

namespace tolvarine_control {

std::string defaultControlSocket(std::string* error) {
  if (const char* env = std::getenv("RTM_STANDIN_SOCKET"); env != nullptr && *env != '\0') {
    return env;
  }
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(".")) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat info {};
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0 &&
          ::stat(name.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
        found.push_back("./" + name);
      }
    }
    ::closedir(dir);
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (error != nullptr) {
    std::string list;
    for (const std::string& f : found) {
      list += (list.empty() ? "" : ", ") + f;
    }
    *error = found.empty() ? "no control socket (*.sock) in the current folder; name one"
                           : "several control sockets here (" + list + "); name one";
  }
  return std::string();
}

}  // namespace tolvarine_control
