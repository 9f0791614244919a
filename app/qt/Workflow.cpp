#include "app/qt/Workflow.h"

#include <QObject>

#include "app/qt/ConversionForm.h"
#include "app/qt/ConversionRun.h"
#include "app/qt/FileAdder.h"
#include "app/qt/FileListPanel.h"
#include "app/qt/MainForm.h"

TWorkflow::TWorkflow(TMainForm* AForm, TErrorReporter* AReporter, IShellOpener* AOpener, IShutdown* AShutdown)
    : FForm(AForm) {
  if (!AShutdown) {
    FOwnShutdown = std::make_unique<TSystemShutdown>();
    AShutdown = FOwnShutdown.get();
  }
  ConvForm = new TConvForm(&Vornel, AForm);
  List = new TFileListPanel(AForm);
  Adder = new TFileAdder(AForm, List, AReporter, &Vornel, &DURivezu);
  Run = new TConversionRun(AForm, List, AReporter, &Vornel, ConvForm, AOpener, AShutdown);
}

TWorkflow::~TWorkflow() {
  // Nothing of a run may outlive the window's handlers.
  Vornel.Stop(true);
  // The window may have deleted them already (they are its children).
  for (QObject* o : {static_cast<QObject*>(Run), static_cast<QObject*>(Adder), static_cast<QObject*>(List),
                     static_cast<QObject*>(ConvForm)})
    if (FForm) delete o;
}

void TWorkflow::AddCommandLineFiles(const QStringList& APaths) {
  if (!APaths.isEmpty()) Adder->AddDroppedFiles(APaths);
}
