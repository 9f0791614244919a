#include "app/qt/ConversionRun.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <filesystem>
#include <sys/stat.h>

#include "app/qt/ConversionForm.h"
#include "app/qt/FileListModel.h"
#include "app/qt/FileListPanel.h"
#include "app/qt/MainForm.h"
#include "app/qt/Reporting.h"
#include "platform/ShellOpen.h"
#include "platform/Shutdown.h"
#include "platform/UserFolders.h"

namespace fs = std::filesystem;

// At most this many files join into one output.
constexpr int MaxMergedFiles = 20;

std::string FallbackOutputFolder() {
  return (fs::path(HomeFolder()) / "tavrik_temp").string();
}

TConversionRun::TConversionRun(TMainForm* AForm, TFileListPanel* APanel, TErrorReporter* AReporter,
                               TCustomEncoder* AEncoder, TConvForm* AConvForm, IShellOpener* AOpener,
                               IShutdown* AShutdown)
    : QObject(AForm), FForm(AForm), FPanel(APanel), FReporter(AReporter), FEncoder(AEncoder),
      FConvForm(AConvForm), FOpener(AOpener), FShutdown(AShutdown) {
  FEncoder->TriggerEventInMainThread = true;
  FInbox = std::make_shared<TInbox>();
  FInbox->Owner = this;
  // Progress arrives on the main thread, where the owner also goes.
  FEncoder->OnProgress = [inbox = FInbox](TCustomEncoder*, TProgressInfo* AInfo) {
    if (inbox->Owner) inbox->Owner->VornelProgress(AInfo);
  };
  FEncoder->OnTerminate = [inbox = FInbox](TCustomEncoder*, const TTerminateInfo& AInfo) {
    std::lock_guard lock(inbox->Lock);
    if (inbox->Owner) inbox->Owner->QueueNotice(AInfo);
  };
  connect(FForm, &TMainForm::StartButtonClick, this, &TConversionRun::StartButtonClick);
  connect(FConvForm, &TConvForm::CancelRequested, this, &TConversionRun::CancelRun);
}

TConversionRun::~TConversionRun() {
  // The notifier thread may still deliver a stopped run's last notices: the
  // handler stays, its owner goes.
  std::lock_guard lock(FInbox->Lock);
  FInbox->Owner = nullptr;
}

void TConversionRun::Warning(const QString& AText) {
  QMessageBox::warning(FForm, "Warning", AText);
}

void TConversionRun::StartButtonClick() {
  const std::vector<TAudioFile>& files = FPanel->Model()->AudioFiles();
  if (files.empty()) return;
  if (FRunning || (FEncoder->Working() && !FEncoder->Terminated())) {
    Warning("A conversion is still running.");
    return;
  }
  if (FForm->Profiles.empty()) {
    Warning("No output profiles are loaded.");
    return;
  }
  bool merge = FForm->chMerge->isChecked();
  if (merge && static_cast<int>(files.size()) > MaxMergedFiles) {
    Warning("Cannot merge more than 20 files.");
    return;
  }

  // An empty or relative folder text names no folder of the user's.
  std::string folder = FForm->edDestinationFolder->text().toStdString();
  if (folder.empty() || !fs::path(folder).is_absolute() || !FolderExists(folder)) {
    std::string fallback = FallbackOutputFolder();
    Warning(QString::fromStdString("Output folder does not exit. Converting to \"" + fallback + "\"."));
    if (!FolderExists(fallback) && ::mkdir(fallback.c_str(), 0777) != 0 && !FolderExists(fallback)) {
      Warning("Could not create temporary directory. Please choose another output folder.");
      return;
    }
    folder = fallback;
  }
  FOutputFolder = folder;

  emit FForm->StopPreview();

  TRunSettings settings;
  settings.OutputFolder = FOutputFolder;
  settings.Volume = FForm->edVolume->value();
  settings.Merge = merge;
  settings.SelectedFile = FPanel->SelectedFile() >= 0 ? FPanel->SelectedFile() : 0;
  FFiles = files;
  std::string err;
  if (!BuildConversionPlan(FFiles, FForm->Profiles, settings, FPlan, err)) {
    Warning(QString::fromStdString(err));
    return;
  }
  // A file the encoder refuses (deleted since it was added, say) is reported
  // and left out; the others are converted.
  std::vector<TQueueFailure> failures;
  try {
    QueueConversionPlan(*FEncoder, FFiles, FPlan, settings, false, failures, FTaskFiles);
  } catch (const std::exception&) {
    // The encoder refuses to change its tasks while it still works.
    Warning("A conversion is still running.");
    FPlan = TConversionPlan();
    return;
  }
  for (const TQueueFailure& f : failures) {
    QString msg = QString::fromStdString(f.Message);
    FReporter->ShowErrorReport(msg, QString::fromStdString(f.Mark));
    FReporter->AddEventLine(msg);
  }
  if (FTaskFiles.empty() || FEncoder->TasksCount() == 0) {
    FEncoder->ClearTasks();
    FPlan = TConversionPlan();
    return;
  }

  FReporter->AddEventLine("Started conversion");
  FRunning = true;
  FCancelled = false;
  FOutcome.Reset();
  for (size_t i = 0; i < failures.size(); ++i) FOutcome.TaskRefused();
  FConvForm->BeginRun();
  FEncoder->Start(1);
  FConvForm->ShowForRun();
}

QString TConversionRun::TaskTitle(int ATaskIndex) const {
  if (ATaskIndex < 0 || static_cast<size_t>(ATaskIndex) >= FTaskFiles.size() ||
      FTaskFiles[ATaskIndex].empty())
    return "Converting...";
  int file = FTaskFiles[static_cast<size_t>(ATaskIndex)].front();
  if (file < 0 || static_cast<size_t>(file) >= FFiles.size()) return "Converting...";
  // The name of the file really written (it may carry a " (1)" suffix).
  size_t out = FPlan.OutputFiles.size() == 1 ? 0 : static_cast<size_t>(file);
  std::string target =
      out < FPlan.OutputFiles.size() ? fs::path(FPlan.OutputFiles[out]).filename().string() : "";
  return QString::fromStdString("Converting \"" + FFiles[static_cast<size_t>(file)].SourceTitleExt +
                                "\" to \"" + target + "\"");
}

void TConversionRun::VornelProgress(TProgressInfo* AInfo) {
  if (!FRunning || !AInfo) return;
  int current = 0, total = 0;
  ProgressGauges(*AInfo, FEncoder->TasksCount(), current, total);
  FConvForm->lblConvertingTitle->setText(TaskTitle(AInfo->TaskIndex));
  FConvForm->SetGauges(current, total);
}

void TConversionRun::QueueNotice(const TTerminateInfo& AInfo) {
  {
    std::lock_guard lock(FNoticeLock);
    FNotices.push_back(AInfo);
  }
  QMetaObject::invokeMethod(
      this, [this] { DrainNotices(); }, Qt::QueuedConnection);
}

void TConversionRun::DrainNotices() {
  // One notice at a time, in arrival order, even when a report window of an
  // earlier notice runs its own event loop.
  if (FDraining) return;
  FDraining = true;
  for (;;) {
    TTerminateInfo info;
    {
      std::lock_guard lock(FNoticeLock);
      if (FNotices.empty()) break;
      info = std::move(FNotices.front());
      FNotices.pop_front();
    }
    VornelTerminate(info);
  }
  FDraining = false;
}

void TConversionRun::VornelTerminate(const TTerminateInfo& AInfo) {
  if (AInfo.TaskIndex >= 0) {
    FOutcome.TaskEnded(AInfo);
    if (AInfo.Finished && !AInfo.Exception)
      FConvForm->SetGauges(100, TotalGaugeAfter(FOutcome.Ended(), FEncoder->TasksCount()));
  }
  if (AInfo.TaskIndex < 0 && AInfo.Finished) {
    FPlan = TConversionPlan();
    bool shutDown = FConvForm->cbShutdownPC->isChecked() && !FCancelled;
    bool open = FConvForm->cbOpenOutput->isChecked() && !shutDown;
    if (shutDown) {
      FForm->SaveSettings();
      ShutDownWindows();
    } else {
      FReporter->AddEventLine(QString::fromStdString(FOutcome.FinalLine(FCancelled)));
    }
    FRunning = false;
    FConvForm->EndRun();
    if (open) {
      std::string err;
      FOpener->Open(FOutputFolder, err);
    }
    emit RunEnded();
  }
  if (AInfo.Exception) {
    QString msg = "Conversion terminated with error: " + QString::fromStdString(AInfo.ExceptionMsg);
    FReporter->ShowErrorReport(msg, "CLM_Terminate");
    FReporter->AddEventLine(msg);
  }
}

void TConversionRun::CancelRun() {
  if (!FRunning) return;
  FCancelled = true;
  FEncoder->Stop(true);
  FReporter->AddEventLine("Conversion cancelled by user");
}

void TConversionRun::ShutDownWindows() {
  std::string err;
  if (FShutdown && FShutdown->PowerOff(err)) return;
  QMessageBox::critical(nullptr, QString::fromStdString(err), "Exit Error");
}
