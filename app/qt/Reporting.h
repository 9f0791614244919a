// The single failure path: ShowErrorReport shows the error window and, after
// "Send", mails the report (or opens the mailto fallback); event lines go to
// the events log; the media log sink feeds ReportLines.
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/Report.h"
#include "log/FFLog.h"
#include "platform/Mail.h"
#include "platform/Settings.h"
#include "platform/ShellOpen.h"

class TLogForm;
class TErrorForm;

class TErrorReporter : public QObject {
  Q_OBJECT
public:
  TErrorReporter(TLogForm* ALogForm, TErrorForm* AErrorForm, ISettingsStore* ASettings, IMailer* AMailer,
                 IShellOpener* AOpener, QObject* AParent = nullptr);
  ~TErrorReporter() override;

  // Starts ReportLines afresh with its first line.
  void ResetReportLines();
  std::vector<std::string> ReportLines;

  // Shows the error window modally; after "Send" mails the report. A report
  // asked for while one is showing follows when that one is done.
  void ShowErrorReport(const QString& AMessage, const QString& AMark);
  void AddEventLine(const QString& AText);
  void AddBareLine(const QString& AText);

  // The log sink's OnLog handler: one media log line into ReportLines.
  void FFLoggerLog(void* ASender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);
  // Makes this reporter the handler of the process-wide log sink.
  void AttachLogger();

  TLogForm* LogForm() const { return FLogForm; }
  TErrorForm* ErrorForm() const { return FErrorForm; }

signals:
  // Before the error window is shown.
  void ErrorReportShown(const QString& AMessage, const QString& AMark);
  // After "Send": how it went (TReportOutcome) and the mail client's message.
  void ErrorReportSent(int AOutcome, const QString& AError);

private:
  void ShowOne(const QString& AMessage, const QString& AMark);
  TLogForm* FLogForm;
  TErrorForm* FErrorForm;
  ISettingsStore* FSettings;
  IMailer* FMailer;
  IShellOpener* FOpener;
  bool FShowing = false;
  bool FLoggerAttached = false;
  std::deque<std::pair<QString, QString>> FPending;
};
