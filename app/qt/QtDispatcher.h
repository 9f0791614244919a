// The main-thread dispatcher of the windowed application: queued calls run on
// the GUI thread from its event loop, or earlier when a main-thread wait runs
// them through RunPending.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

#include "util/MainThread.h"

class TQtDispatcher : public QObject, public IMainThreadDispatcher {
  Q_OBJECT
public:
  // Create on the GUI thread; installs itself and restores the previous
  // dispatcher when destroyed.
  TQtDispatcher();
  ~TQtDispatcher() override;
  void Post(std::function<void()> ACall) override;
  void RunPending() override;
  bool IsMainThread() const override;

private:
  std::mutex FLock;
  std::deque<std::function<void()>> FQueue;
  IMainThreadDispatcher* FPrevious = nullptr;
};
