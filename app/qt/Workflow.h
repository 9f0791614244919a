// The main window's workflow: the encoder Vornel and the preview player
// DURivezu, the file list, adding files, the conversion run and its
// progress window, connected to the main window's menus and buttons.
#pragma once

#include <QPointer>
#include <QStringList>
#include <memory>

#include "engine/FFEncode.h"
#include "platform/Shutdown.h"
#include "player/FFPlay.h"

class IShellOpener;
class TConvForm;
class TConversionRun;
class TErrorReporter;
class TFileAdder;
class TFileListPanel;
class TMainForm;

class TWorkflow {
public:
  // AShutdown may be null: the system's shut-down is used.
  TWorkflow(TMainForm* AForm, TErrorReporter* AReporter, IShellOpener* AOpener,
            IShutdown* AShutdown = nullptr);
  ~TWorkflow();

  // Files named on the command line: added as dropped files are.
  void AddCommandLineFiles(const QStringList& APaths);

  TFFEncoder Vornel;
  TDURivezu DURivezu;
  TConvForm* ConvForm;
  TFileListPanel* List;
  TFileAdder* Adder;
  TConversionRun* Run;

private:
  QPointer<TMainForm> FForm;
  std::unique_ptr<IShutdown> FOwnShutdown;
};
