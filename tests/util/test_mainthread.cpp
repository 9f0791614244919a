#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "util/FFBaseComponent.h"
#include "util/MainThread.h"

TEST(MainThread, RunsDirectlyOnTheMainThread) {
  THeadlessDispatcher d;
  bool ran = false;
  RunInMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(IsMainThread());
}

TEST(MainThread, WorkerWaitsForTheMainThreadAndGetsItsException) {
  THeadlessDispatcher d;
  std::atomic<int> step{0};
  std::thread::id ranOn;
  std::string caught;
  std::thread worker([&] {
    EXPECT_FALSE(IsMainThread());
    RunInMainThread([&] { ranOn = std::this_thread::get_id(); });
    step = 1; // only after the call has run
    try {
      RunInMainThread([] { throw std::runtime_error("from the main thread"); });
    } catch (const std::exception& e) {
      caught = e.what();
    }
    try {
      RunInMainThread([] { throw 42; }); // not a std::exception
    } catch (int v) {
      caught += "/" + std::to_string(v);
    }
    step = 2;
  });
  EXPECT_TRUE(d.ProcessUntil([&] { return step == 2; }, std::chrono::seconds(10)));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(caught, "from the main thread/42");
}

TEST(MainThread, WaitPumpingKeepsServingCalls) {
  THeadlessDispatcher d;
  std::atomic<bool> done{false};
  int served = 0;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) RunInMainThread([&] { ++served; });
    done = true;
  });
  WaitPumping([&] { return done.load(); }); // would deadlock without pumping
  worker.join();
  EXPECT_EQ(served, 50);
}

TEST(Component, OwnerFreesItsComponentsAndKeepsTheLastError) {
  struct TProbe : TFFBaseComponent {
    using TFFBaseComponent::TFFBaseComponent;
    bool* Freed = nullptr;
    ~TProbe() override {
      if (Freed) *Freed = true;
    }
    void Fail() { SetLastErrMsgF("failed %d", 7); }
  };
  bool freed = false;
  {
    TProbe owner;
    auto child = new TProbe(&owner);
    child->Freed = &freed;
    EXPECT_EQ(child->Owner(), &owner);
    EXPECT_FALSE(child->Version().empty());
    child->Fail();
    EXPECT_EQ(child->LastErrMsg(), "failed 7");
  }
  EXPECT_TRUE(freed);
}
