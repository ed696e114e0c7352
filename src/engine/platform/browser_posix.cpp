#include <spawn.h>
#include <sys/wait.h>

#include <cstring>

#include "engine/platform/browser.h"

extern char** environ;

namespace vesk::browser {

bool Open(const std::string& url, std::string& error) {
  std::string program = "xdg-open";
  char* arguments[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  const int status = posix_spawnp(&child, program.c_str(), nullptr, nullptr, arguments, environ);
  if (status != 0) {
    error = "xdg-open cannot be started: " + std::string(std::strerror(status));
    return false;
  }
  int exit_status = 0;
  waitpid(child, &exit_status, 0);
  if (!WIFEXITED(exit_status) || WEXITSTATUS(exit_status) != 0) {
    error = "xdg-open could not open the address";
    return false;
  }
  return true;
}

}  // namespace vesk::browser
