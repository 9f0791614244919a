// What a conversion run shows while it runs and says when it ends: the two
// progress gauges and the final events-log line.
#pragma once

#include <string>

#include "engine/FFEncode.h"

// The current task's gauge and the whole run's gauge (0..100). An unknown
// or zero total length shows the current task at 0.
void ProgressGauges(const TProgressInfo& AInfo, int ATaskCount, int& ACurrent, int& ATotal);
// The whole run's gauge once ADone of ATaskCount tasks have ended.
int TotalGaugeAfter(int ADone, int ATaskCount);

// The per-task termination notices of one run.
class TRunOutcome {
public:
  void Reset() { *this = TRunOutcome(); }
  // A task's notice (TaskIndex >= 0).
  void TaskEnded(const TTerminateInfo& AInfo);
  // A file that could not be queued: the run goes on without it.
  void TaskRefused() { ++FFailed; }
  int Ended() const { return FEnded; }
  int Failed() const { return FFailed; }
  // The final line (without its time stamp and arrow).
  std::string FinalLine(bool ACancelled) const;

private:
  int FEnded = 0;
  int FFailed = 0;
};
