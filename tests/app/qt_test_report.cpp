// The events log and the error report: time stamps, the mail against a real
// SMTP server on the loopback interface, and the mailto fallback.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <thread>
#include <unistd.h>

#include "medialib/FFLoad.h"
#include "util/MainThread.h"

#include "app/Report.h"
#include "tests/app/qt_test_app.h"
#include "tests/platform/SmtpServer.h"

using qttest::TTestApp;

static uint32_t CurrentThreadIDForTest() {
  return CurrentThreadID();
}
using testsupport::ReadFile;

namespace {

const char* const ReportMailbox = "reports@tavrik.test";
const char* const SupportMailbox = "support@tavrik.test";

std::string MailSettings(int APort, const std::string& APassword) {
  return "[ErrorReport]\nServer=127.0.0.1\nPort=" + std::to_string(APort) + "\nUser=" + ReportMailbox +
         "\nPassword=" + APassword + "\nReportMailbox=" + ReportMailbox +
         "\nSupportMailbox=" + SupportMailbox + "\n";
}

// Answers the error window: fills the boxes and presses Send.
std::function<void(TErrorForm&)> SendWith(QString AName, QString AEmail, QString ADetails) {
  return [=](TErrorForm& f) {
    f.edName->setText(AName);
    f.edEmail->setText(AEmail);
    f.memDetails->setPlainText(ADetails);
    f.SendButton->click();
  };
}

std::string WaitForContent(const std::string& AFile) {
  for (int i = 0; i < 300 && ReadFile(AFile).empty(); ++i) usleep(10000);
  usleep(50000);
  return ReadFile(AFile);
}

} // namespace

TEST(EventLines, TimeStampInTheLocalesLongTimeFormat) {
  qttest::App();
  QTime t(14, 5, 33);
  // 24-hour clock.
  EXPECT_EQ(EventLineText(QLocale(QLocale::German, QLocale::Germany), t, "Started conversion"),
            "14:05:33-> Started conversion");
  // 12-hour clock: the designator where the locale puts it, no zone name.
  QString us = EventLineText(QLocale(QLocale::English, QLocale::UnitedStates), t, "Started conversion");
  EXPECT_TRUE(QRegularExpression("^2:05:33\\s?PM-> Started conversion$").match(us).hasMatch())
      << us.toStdString();

  // The log window stamps with the default locale and keeps bare lines as they are.
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  TLogForm log;
  log.AddEventLine("Added file /a b.mp3");
  log.AddBareLine("");
  log.AddBareLine("bare");
  QLocale::setDefault(QLocale::c());
  QStringList lines = log.Lines();
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(QRegularExpression("^\\d{1,2}:\\d\\d:\\d\\d\\s?[AP]M-> Added file /a b\\.mp3$")
                  .match(lines[0])
                  .hasMatch())
      << lines[0].toStdString();
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "bare");
  EXPECT_EQ(log.windowTitle(), "Events Log");
  EXPECT_TRUE(log.mmoLog->isReadOnly());
}

TEST(ErrorReport, SendMailsTheWholeReport) {
  TTestApp app;
  TTestSmtpServer server;
  ASSERT_TRUE(server.Start(app.Root.Path().string(), ReportMailbox, "pw")) << server.Error;
  app.WriteSettings(MailSettings(server.Port, "pw"));
  app.Answer = SendWith("Ann Example", "ann@example.org", "It broke\nwhen I pressed Start");
  app.Start();
  TErrorReporter& r = *app.Reporter;
  r.FFLoggerLog(nullptr, 4242, llWarning, "a media warning");
  r.AddEventLine("Added file /music/a.flac");
  r.ShowErrorReport("Cannot set output file: denied", "CLM_SetOutputFile");

  EXPECT_EQ(app.ErrorForm->windowTitle(), "Error!");
  EXPECT_EQ(app.ErrorForm->lblErrorText->text(), "Cannot set output file: denied");
  auto got = server.Messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Head["mail_from"], "ann@example.org");
  EXPECT_EQ(got[0].Head["from"], "ann@example.org");
  EXPECT_EQ(got[0].Head["rcpt_to"], SupportMailbox);
  EXPECT_EQ(got[0].Head["to"], SupportMailbox);
  EXPECT_EQ(got[0].Head["login"], ReportMailbox);
  EXPECT_EQ(got[0].Head["subject"], "ERROR REPORT | Tavrik Sondel");

  QStringList events = app.LogForm->Lines();
  ASSERT_EQ(events.size(), 1);
  std::vector<std::string> expected = {"FFLOGGER HISTORY:",
                                       "#4242.4: a media warning",
                                       "-------------------------",
                                       "ACTION HISTORY:",
                                       events[0].toStdString(),
                                       "-------------------------",
                                       "LAST ERROR MESSAGE: Cannot set output file: denied",
                                       "CODE LINE MARK: CLM_SetOutputFile",
                                       "USER NAME: Ann Example",
                                       "PROBLEM DETAILS:",
                                       "It broke",
                                       "when I pressed Start"};
  std::string body;
  for (auto& l : expected) body += l + "\n";
  std::string gotBody = got[0].Body;
  for (size_t p; (p = gotBody.find("\r\n")) != std::string::npos;) gotBody.erase(p, 1);
  EXPECT_EQ(gotBody, body);
  EXPECT_EQ(r.ReportLines, expected);

  // A second report carries the first one's sections again; empty name and
  // details leave their lines out; the boxes keep their text.
  app.Answer = nullptr;
  app.Reports->Answer = [](TErrorForm& f) {
    EXPECT_EQ(f.edName->text(), "Ann Example");
    f.edName->clear();
    f.memDetails->clear();
    f.SendButton->click();
  };
  r.ShowErrorReport("Second", "CLM_Terminate");
  got = server.Messages();
  ASSERT_EQ(got.size(), 2u);
  std::string second = got[1].Body;
  for (size_t p; (p = second.find("\r\n")) != std::string::npos;) second.erase(p, 1);
  EXPECT_EQ(second.find("FFLOGGER HISTORY:"), 0u);
  EXPECT_NE(second.find("CODE LINE MARK: CLM_SetOutputFile"), std::string::npos);
  EXPECT_NE(second.find("LAST ERROR MESSAGE: Second"), std::string::npos);
  EXPECT_EQ(second.rfind("USER NAME:"), second.find("USER NAME: Ann Example"));
  EXPECT_TRUE(second.ends_with("LAST ERROR MESSAGE: Second\nCODE LINE MARK: CLM_Terminate\n")) << second;
}

TEST(ErrorReport, CancelSendsNothing) {
  TTestApp app;
  TTestSmtpServer server;
  ASSERT_TRUE(server.Start(app.Root.Path().string(), ReportMailbox, "pw")) << server.Error;
  app.WriteSettings(MailSettings(server.Port, "pw"));
  std::string opened = (app.Root.Path() / "opened.txt").string();
  setenv("SONDEL_OPEN_CMD", qttest::OpenRecorder(app.Root.Path().string(), opened).c_str(), 1);
  app.Answer = [](TErrorForm& f) {
    f.edEmail->setText("ann@example.org");
    f.CancelButton->click();
  };
  app.Start();
  app.Reporter->FFLoggerLog(nullptr, 1, llError, "boom");
  auto before = app.Reporter->ReportLines;
  app.Reporter->ShowErrorReport("Error loading profiles", "CLM_LoadProfiles");
  EXPECT_EQ(app.Reports->Entries.size(), 1u);
  EXPECT_EQ(app.Reporter->ReportLines, before);
  usleep(200000);
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_EQ(ReadFile(opened), "");
  unsetenv("SONDEL_OPEN_CMD");
}

TEST(ErrorReport, FailedMailOpensTheMailtoFallbackOnce) {
  const std::string message = "Cannot open \"a&b #1?.mp3\": 100% broken\nsecond line";
  const std::string expected = std::string("mailto:") + SupportMailbox +
                               "?subject=ERROR%20REPORT%20%7C%20Tavrik%20Sondel&body=Cannot%20open%20%22a%"
                               "26b%20%231%3F.mp3%22%3A%20100%25%"
                               "20broken%0Asecond%20line%20%3BCODE%20LINE%20MARK%3ACLM_Terminate%3B%20%"
                               "20YOUR%20COMMENT%20%28DETAILS%29%3A";
  EXPECT_EQ(ReportMailtoAddress(SupportMailbox, message, "CLM_Terminate"), expected);

  for (bool refusedLogin : {true, false}) {
    SCOPED_TRACE(refusedLogin ? "refused login" : "closed port");
    TTestApp app;
    TTestSmtpServer server;
    ASSERT_TRUE(server.Start(app.Root.Path().string(), ReportMailbox, "pw")) << server.Error;
    app.WriteSettings(
        MailSettings(refusedLogin ? server.Port : ClosedLoopbackPort(), refusedLogin ? "wrong" : "pw"));
    std::string opened = (app.Root.Path() / "opened.txt").string();
    setenv("SONDEL_OPEN_CMD", qttest::OpenRecorder(app.Root.Path().string(), opened).c_str(), 1);
    app.Answer = SendWith("", "", "");
    app.Start();
    int outcome = -1;
    QObject::connect(app.Reporter.get(), &TErrorReporter::ErrorReportSent,
                     [&](int o, const QString&) { outcome = o; });
    app.Reporter->ShowErrorReport(QString::fromStdString(message), "CLM_Terminate");
    EXPECT_EQ(outcome, static_cast<int>(TReportOutcome::MailtoOpened));
    EXPECT_EQ(WaitForContent(opened), expected + "\n");
    EXPECT_TRUE(server.Messages().empty());
    unsetenv("SONDEL_OPEN_CMD");
  }
}

TEST(ErrorReport, OnlyAPlainAddressIsUsedAsSender) {
  TTestApp app;
  TTestSmtpServer server;
  ASSERT_TRUE(server.Start(app.Root.Path().string(), ReportMailbox, "pw")) << server.Error;
  app.WriteSettings(MailSettings(server.Port, "pw"));
  app.Start();
  const std::vector<std::pair<QString, std::string>> cases = {
      {"ann@example.org\r\nRCPT TO:<victim@example.org>", ReportMailbox},
      {"no at sign", ReportMailbox},
      {"Ann <ann@example.org>", ReportMailbox},
      {"a@b@c", ReportMailbox},
      {"", ReportMailbox},
      {"  bob@example.org  ", "bob@example.org"},
  };
  for (auto& [email, sender] : cases) {
    SCOPED_TRACE(email.toStdString());
    app.Reports->Answer = [email = email](TErrorForm& f) {
      f.edEmail->setText(email);
      f.SendButton->click();
    };
    size_t before = server.Messages().size();
    app.Reporter->ShowErrorReport("x", "CLM_Shut");
    auto got = server.Messages();
    ASSERT_EQ(got.size(), before + 1);
    EXPECT_EQ(got.back().Head["mail_from"], sender);
    EXPECT_EQ(got.back().Head["rcpt_to"], SupportMailbox);
  }
}

TEST(ErrorReport, ReportsAskedForWhileOneIsShowingFollowIt) {
  TTestApp app;
  app.Start();
  std::vector<QString> shown;
  bool nested = false;
  app.Reports->Answer = [&](TErrorForm& f) {
    shown.push_back(f.lblErrorText->text());
    if (!nested) {
      nested = true;
      app.Reporter->ShowErrorReport("second", "CLM_B");
      EXPECT_TRUE(f.isVisible());
    }
    f.CancelButton->click();
  };
  app.Reporter->ShowErrorReport("first", "CLM_A");
  EXPECT_EQ(shown, std::vector<QString>({"first", "second"}));
}

TEST(ErrorReport, MediaLogLinesFromOtherThreadsReachReportLinesOnTheMainThread) {
  TTestApp app;
  TQtDispatcher dispatcher;
  app.Start();
  app.Reporter->AttachLogger();
  uint32_t workerId = 0;
  bool ranOnMain = false;
  std::thread worker([&] {
    workerId = CurrentThreadIDForTest();
    Logger().Log(nullptr, llWarning, "from worker %d", 7);
    RunInMainThread([&] { ranOnMain = QThread::currentThread() == qApp->thread(); });
  });
  // RunInMainThread waits for the main thread, which runs queued calls here.
  for (int i = 0; i < 500 && !ranOnMain; ++i) {
    QApplication::processEvents();
    QThread::msleep(2);
  }
  worker.join();
  QApplication::processEvents();
  EXPECT_TRUE(ranOnMain);
  const auto& lines = app.Reporter->ReportLines;
  std::string expected = "#" + std::to_string(workerId) + ".4: from worker 7";
  EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << lines.back();
  Logger().OnLog = nullptr;
}
