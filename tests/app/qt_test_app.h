// The application's windows built as main() builds them, in a temporary home
// with its own application folder, for the widget tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/Profiles.h"
#include "app/qt/AboutForm.h"
#include "app/qt/ErrorForm.h"
#include "app/qt/LogForm.h"
#include "app/qt/MainForm.h"
#include "app/qt/QtDispatcher.h"
#include "app/qt/Reporting.h"
#include "app/qt/Theme.h"
#include "platform/Mail.h"
#include "platform/Settings.h"
#include "platform/ShellOpen.h"
#include "platform/UserFolders.h"
#include "tests/support/TestSupport.h"

namespace qttest {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "qt_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* a = new QApplication(argc, argv);
    setlocale(LC_NUMERIC, "C");
    ApplySondelTheme(*a);
    return a;
  }();
  return *app;
}

// Five profiles; profile 4 chooses a channel count its list does not hold.
inline std::string TestProfileText() {
  auto profile = [](const std::string& title, const std::string& ext, const std::string& codecs,
                    const std::string& codec, const std::string& rates, const std::string& rate,
                    const std::string& bitrates, const std::string& bitrate, const std::string& channel) {
    return "<Profile>\n<ProfileName value=\"" + title + "\"/>\n<FormatExt value=\"" + ext +
           "\"/>\n<AudioCodecs value=\"" + codecs + "\"/>\n<AudioCodecName value=\"" + codec +
           "\"/>\n<SampleRates value=\"" + rates + "\"/>\n<SampleRate value=\"" + rate +
           "\"/>\n<AudioBitRates value=\"" + bitrates + "\"/>\n<AudioBitRate value=\"" + bitrate +
           "\"/>\n<Channels value=\"1$Mono,2$Stereo\"/>\n<Channel value=\"" + channel + "\"/>\n</Profile>\n";
  };
  return "<?xml version=\"1.0\"?>\n<ProfileSet>\n" +
         profile("FLAC", ".flac", "flac$FLAC", "flac", "0$Original,44100$44100 Hz", "44100",
                 "900000$~900 kbps", "900000", "2") +
         profile("MP3", ".mp3", "libmp3lame$LAME MP3", "libmp3lame",
                 "32000$32 kHz,44100$44.1 kHz,48000$48 kHz", "44100",
                 "128000$128 kbps,192000$192 kbps,320000$320 kbps", "192000", "2") +
         profile("AAC", ".m4a", "aac$AAC", "AAC", "44100$44.1 kHz,48000$48 kHz", "48000",
                 "96000$96 kbps,160000$160 kbps", "160000", "1") +
         profile("Ogg Vorbis", ".ogg", "libvorbis$Vorbis", "libvorbis", "44100$44.1 kHz,48000$48 kHz",
                 "44100", "64000$64 kbps,128000$128 kbps,256000$256 kbps", "128000", "2") +
         profile("Odd", ".wav", "pcm_s16le$PCM", "pcm_s16le", "44100$44.1 kHz", "44100", "1411200$1411 kbps",
                 "1411200", "3") +
         "</ProfileSet>\n";
}

// Records every error report; answers each error window with Cancel unless a
// handler is set (it gets the window and decides).
class TReportLog : public QObject {
public:
  struct TEntry {
    QString Message, Mark;
  };
  std::vector<TEntry> Entries;
  std::function<void(TErrorForm&)> Answer;

  void Attach(TErrorReporter& AReporter) {
    QObject::connect(&AReporter, &TErrorReporter::ErrorReportShown, this,
                     [this, &AReporter](auto& m, auto& k) {
                       Entries.push_back({m, k});
                       TErrorForm* form = AReporter.ErrorForm();
                       QTimer::singleShot(0, this, [this, form] {
                         if (Answer)
                           Answer(*form);
                         else
                           form->reject();
                       });
                     });
  }
  bool Has(const QString& AMark) const {
    for (auto& e : Entries)
      if (e.Mark == AMark) return true;
    return false;
  }
};

// A temporary home (HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME) and application
// folder; Start() builds the windows and runs the start-up steps.
class TTestApp {
public:
  explicit TTestApp(bool AWithProfiles = true) {
    App();
    Home = Root.Path() / "home";
    AppDir = Root.Path() / "app";
    std::filesystem::create_directories(Home / "Music");
    std::filesystem::create_directories(AppDir / "sondel-profiles");
    setenv("HOME", Home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (Home / ".config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (Home / ".cache").c_str(), 1);
    unsetenv("TMPDIR");
    // No test opens a real browser or mail program; tests that look at what
    // is opened point this at a recorder.
    setenv("SONDEL_OPEN_CMD", "true", 1);
    if (AWithProfiles) WriteProfiles(TestProfileText());
  }

  void WriteProfiles(const std::string& APlain) {
    testsupport::WriteFile((AppDir / "sondel-profiles/formats.dat").string(), EncodeProfileSet(APlain));
  }
  void WritePicture() {
    QImage img(360, 114, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    img.save(QString::fromStdString((AppDir / "sondel-profiles/gs.bmp").string()), "BMP");
  }
  std::string SettingsFile() const { return DefaultSettingsFileName(); }
  void WriteSettings(const std::string& AText) {
    std::filesystem::create_directories(std::filesystem::path(SettingsFile()).parent_path());
    testsupport::WriteFile(SettingsFile(), AText);
  }

  // Builds the windows and runs the start-up steps.
  TMainForm& Start() {
    Stop();
    Store = std::make_unique<TIniSettingsStore>(DefaultSettingsFileName());
    LogForm = std::make_unique<TLogForm>();
    ErrorForm = std::make_unique<TErrorForm>();
    Reporter =
        std::make_unique<TErrorReporter>(LogForm.get(), ErrorForm.get(), Store.get(), &Mailer, &Opener);
    Reports = std::make_unique<TReportLog>();
    Reports->Answer = Answer;
    Reports->Attach(*Reporter);
    TAppServices s;
    s.Paths.AppFolder = AppDir.string() + "/";
    s.Settings = Store.get();
    s.Folders = &Folders;
    s.Opener = &Opener;
    Main = std::make_unique<TMainForm>(s, Reporter.get());
    About = std::make_unique<TAboutForm>(QString::fromStdString(s.Paths.LogoPicture()), Main.get());
    Main->SetAboutForm(About.get());
    Main->FormCreate();
    Main->show();
    QApplication::processEvents();
    return *Main;
  }
  // Closes the main window (the settings are written) and drops the windows.
  void Stop() {
    if (Main) {
      Main->close();
      QApplication::processEvents();
    }
    About.reset();
    Main.reset();
    Reporter.reset();
    ErrorForm.reset();
    LogForm.reset();
  }
  ~TTestApp() { Stop(); }

  testsupport::TTempDir Root;
  std::filesystem::path Home, AppDir;
  TXdgUserFolders Folders;
  TShellOpener Opener;
  TCurlMailer Mailer;
  TQtDispatcher* Dispatcher = nullptr;
  std::function<void(TErrorForm&)> Answer;
  std::unique_ptr<TIniSettingsStore> Store;
  std::unique_ptr<TLogForm> LogForm;
  std::unique_ptr<TErrorForm> ErrorForm;
  std::unique_ptr<TErrorReporter> Reporter;
  std::unique_ptr<TReportLog> Reports;
  std::unique_ptr<TMainForm> Main;
  std::unique_ptr<TAboutForm> About;
};

// A script for SONDEL_OPEN_CMD that appends its argument to a file.
inline std::string OpenRecorder(const std::string& ADir, const std::string& AOut) {
  std::string path = ADir + "/open-recorder.sh";
  testsupport::WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + AOut + "'\n");
  chmod(path.c_str(), 0755);
  return path;
}

} // namespace qttest
