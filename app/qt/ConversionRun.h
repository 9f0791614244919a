// A conversion run from the main window: the list and the output settings
// become encoder tasks, the progress window follows the run, and the
// termination notices end it (events log, error reports, opening the output
// folder or shutting the computer down).
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/ConversionPlan.h"
#include "app/ConversionProgress.h"

class IShellOpener;
class IShutdown;
class TConvForm;
class TErrorReporter;
class TFileListPanel;
class TMainForm;

// The fallback output folder: ~/tavrik_temp.
std::string FallbackOutputFolder();

class TConversionRun : public QObject {
  Q_OBJECT
public:
  TConversionRun(TMainForm* AForm, TFileListPanel* APanel, TErrorReporter* AReporter,
                 TCustomEncoder* AEncoder, TConvForm* AConvForm, IShellOpener* AOpener, IShutdown* AShutdown);
  ~TConversionRun() override;

  bool Running() const { return FRunning; }
  // The folder of the latest run.
  const std::string& OutputFolder() const { return FOutputFolder; }

public slots:
  // The "Start" button and "Start Conversion": returns when the run's
  // progress window has closed (or at once when the run does not start).
  void StartButtonClick();

signals:
  // The run has ended (after its final notice was handled).
  void RunEnded();

private:
  void VornelProgress(TProgressInfo* AInfo);
  // Called on the encoder's notifier thread: hands a copy to the main thread.
  void QueueNotice(const TTerminateInfo& AInfo);
  void DrainNotices();
  void VornelTerminate(const TTerminateInfo& AInfo);
  void CancelRun();
  void ShutDownWindows();
  void Warning(const QString& AText);
  QString TaskTitle(int ATaskIndex) const;

  TMainForm* FForm;
  TFileListPanel* FPanel;
  TErrorReporter* FReporter;
  TCustomEncoder* FEncoder;
  TConvForm* FConvForm;
  IShellOpener* FOpener;
  IShutdown* FShutdown;

  std::string FOutputFolder;
  // The run's own copy of the files and its records; kept until the run ends.
  std::vector<TAudioFile> FFiles;
  TConversionPlan FPlan;
  std::vector<std::vector<int>> FTaskFiles;
  TRunOutcome FOutcome;
  bool FRunning = false;
  bool FCancelled = false;

  std::mutex FNoticeLock;
  std::deque<TTerminateInfo> FNotices;
  bool FDraining = false;
  // What the encoder's notifier thread holds: a notice arriving after this
  // object is gone finds no owner.
  struct TInbox {
    std::mutex Lock;
    TConversionRun* Owner = nullptr;
  };
  std::shared_ptr<TInbox> FInbox;
};
