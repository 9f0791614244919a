// sondel: the application window.
#include <QApplication>
#include <QIcon>
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
  auto aboutForm = std::make_unique<TAboutForm>(QString::fromStdString(services.Paths.LogoPicture()), &mainForm);
  mainForm.SetAboutForm(aboutForm.get());
  mainForm.setWindowIcon(QIcon(QString::fromStdString(services.Paths.LogoPicture())));
  mainForm.FormCreate();
  mainForm.show();
  int rc = app.exec();
  Logger().OnLog = nullptr;
  return rc;
}
