#include "app/ConversionProgress.h"

#include <algorithm>
#include <cmath>

namespace {
int Clamp100(double AValue) {
  if (!(AValue > 0)) return 0; // also NaN
  return AValue >= 100 ? 100 : static_cast<int>(std::nearbyint(AValue));
}
} // namespace

void ProgressGauges(const TProgressInfo& AInfo, int ATaskCount, int& ACurrent, int& ATotal) {
  int n = std::max(ATaskCount, 1);
  int64_t current = 0;
  double part = 0;
  if (AInfo.TotalDuration > 0 && AInfo.CurrentDuration > 0) {
    current = AInfo.CurrentDuration * 100 / AInfo.TotalDuration;
    part = static_cast<double>(AInfo.CurrentDuration) / static_cast<double>(AInfo.TotalDuration);
  }
  ACurrent = static_cast<int>(std::clamp<int64_t>(current, 0, 100));
  // Halves round to even (the default rounding mode).
  ATotal = Clamp100(100.0 / n * part + 100.0 / n * std::max(AInfo.TaskIndex, 0));
}

int TotalGaugeAfter(int ADone, int ATaskCount) {
  return Clamp100(100.0 / std::max(ATaskCount, 1) * ADone);
}

void TRunOutcome::TaskEnded(const TTerminateInfo& AInfo) {
  ++FEnded;
  if (!AInfo.Finished || AInfo.Exception) ++FFailed;
}

std::string TRunOutcome::FinalLine(bool ACancelled) const {
  if (ACancelled) return "Conversion cancelled.";
  if (FFailed > 0) return "Conversion finished with errors.";
  return "Conversion successfully done.";
}
