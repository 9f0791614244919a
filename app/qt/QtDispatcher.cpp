#include "app/qt/QtDispatcher.h"

#include <QMetaObject>
#include <QThread>

TQtDispatcher::TQtDispatcher() {
  FPrevious = MainThreadDispatcher();
  SetMainThreadDispatcher(this);
}

TQtDispatcher::~TQtDispatcher() {
  if (MainThreadDispatcher() == this) SetMainThreadDispatcher(FPrevious);
}

void TQtDispatcher::Post(std::function<void()> ACall) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FQueue.push_back(std::move(ACall));
  }
  // One wake-up per call; a wake-up finding the queue already drained does nothing.
  QMetaObject::invokeMethod(
      this, [this] { RunPending(); }, Qt::QueuedConnection);
}

void TQtDispatcher::RunPending() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FQueue.empty()) return;
      call = std::move(FQueue.front());
      FQueue.pop_front();
    }
    call();
  }
}

bool TQtDispatcher::IsMainThread() const {
  return QThread::currentThread() == thread();
}
