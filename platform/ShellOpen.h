// Opening a folder, web page or mailto address with the desktop's handler:
// xdg-open, or the program named by $SONDEL_OPEN_CMD (no shell; the target
// is its one argument).
#pragma once

#include <string>
#include <vector>

class IShellOpener {
public:
  virtual ~IShellOpener() = default;
  // False with AError when the handler could not be started.
  virtual bool Open(const std::string& ATarget, std::string& AError) = 0;
};

class TShellOpener : public IShellOpener {
public:
  bool Open(const std::string& ATarget, std::string& AError) override;
};

// Starts a program detached (it outlives us and leaves no zombie). True once
// the program image was executed; false with AError when it could not be.
bool SpawnDetached(const std::vector<std::string>& AArgs, std::string& AError);
// Runs a program and waits for it; its exit code, or -1 with AError when it
// could not be started or was killed.
int RunAndWait(const std::vector<std::string>& AArgs, std::string& AError);
