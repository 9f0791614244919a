// sondel: the application window.
#include <QApplication>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <clocale>
#include <memory>

#include "app/AppPaths.h"
#include "app/qt/AboutForm.h"
#include "app/qt/ErrorForm.h"
#include "app/qt/LogForm.h"
#include "app/qt/MainForm.h"
#include "app/qt/QtDispatcher.h"
#include "app/qt/Reporting.h"
#include "app/qt/Theme.h"
#include "app/qt/Workflow.h"
#include "medialib/FFLoad.h"
#include "platform/Mail.h"
#include "platform/Settings.h"
#include "platform/ShellOpen.h"
#include "platform/UserFolders.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Numbers are read and written with "." whatever the user's locale.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("Tavrik Sondel");
  QApplication::setOrganizationName("Tavrik");
  ApplySondelTheme(app);
  TQtDispatcher dispatcher;

  TIniSettingsStore settings(DefaultSettingsFileName());
  TXdgUserFolders folders;
  TShellOpener opener;
  TCurlMailer mailer;
  TAppServices services;
  services.Paths.AppFolder = RunningAppFolder();
  services.Settings = &settings;
  services.Folders = &folders;
  services.Opener = &opener;

  // The windows in their order; the start-up steps run once the events log
  // and the error window exist, since they may use both.
  auto logForm = std::make_unique<TLogForm>();
  auto errorForm = std::make_unique<TErrorForm>();
  TErrorReporter reporter(logForm.get(), errorForm.get(), &settings, &mailer, &opener);
  reporter.AttachLogger();
  TMainForm mainForm(services, &reporter);
  // The file list, adding files and the conversion run.
  TWorkflow workflow(&mainForm, &reporter, &opener);
  auto aboutForm =
      std::make_unique<TAboutForm>(QString::fromStdString(services.Paths.LogoPicture()), &mainForm);
  mainForm.SetAboutForm(aboutForm.get());
  mainForm.setWindowIcon(QIcon(QString::fromStdString(services.Paths.LogoPicture())));
  mainForm.FormCreate();
  mainForm.show();
  // Files named on the command line ("open with") are added as dropped files are.
  QStringList files = QApplication::arguments().mid(1);
  if (!files.isEmpty())
    QTimer::singleShot(0, &mainForm, [&workflow, files] { workflow.AddCommandLineFiles(files); });
  int rc = app.exec();
  Logger().OnLog = nullptr;
  return rc;
}
