// Powering the computer off at the end of a conversion run:
// "systemctl poweroff", or the program named by $SONDEL_SHUTDOWN_CMD.
#pragma once

#include <string>

class IShutdown {
public:
  virtual ~IShutdown() = default;
  // False with AError (naming the failing command) when it failed.
  virtual bool PowerOff(std::string& AError) = 0;
};

class TSystemShutdown : public IShutdown {
public:
  bool PowerOff(std::string& AError) override;
};

// The operating system's name and version (os-release and the kernel), for
// reports.
std::string GetWinVersionText();
