#include "app/qt/Reporting.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "app/Settings.h"
#include "app/qt/ErrorForm.h"
#include "app/qt/LogForm.h"

TErrorReporter::TErrorReporter(TLogForm* ALogForm, TErrorForm* AErrorForm, ISettingsStore* ASettings,
                               IMailer* AMailer, IShellOpener* AOpener, QObject* AParent)
    : QObject(AParent), FLogForm(ALogForm), FErrorForm(AErrorForm), FSettings(ASettings), FMailer(AMailer),
      FOpener(AOpener) {
  ResetReportLines();
}

TErrorReporter::~TErrorReporter() {
  if (FLoggerAttached && LoggerExists()) Logger().OnLog = nullptr;
}

void TErrorReporter::ResetReportLines() {
  ReportLines.clear();
  ReportLines.push_back(ReportHistoryLine);
}

void TErrorReporter::AttachLogger() {
  Logger().OnLog = [this](void* s, uint32_t t, TLogLevel l, const std::string& m) {
    FFLoggerLog(s, t, l, m);
  };
  FLoggerAttached = true;
}

void TErrorReporter::FFLoggerLog(void*, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg) {
  ReportLines.push_back(MediaLogLine(AThreadID, ALogLevel, ALogMsg));
}

void TErrorReporter::AddEventLine(const QString& AText) {
  FLogForm->AddEventLine(AText);
}

void TErrorReporter::AddBareLine(const QString& AText) {
  FLogForm->AddBareLine(AText);
}

void TErrorReporter::ShowErrorReport(const QString& AMessage, const QString& AMark) {
  FPending.emplace_back(AMessage, AMark);
  if (FShowing) return;
  FShowing = true;
  while (!FPending.empty()) {
    auto [msg, mark] = FPending.front();
    FPending.pop_front();
    ShowOne(msg, mark);
  }
  FShowing = false;
}

void TErrorReporter::ShowOne(const QString& AMessage, const QString& AMark) {
  FErrorForm->lblErrorText->setText(AMessage);
  emit ErrorReportShown(AMessage, AMark);
  if (FErrorForm->exec() != QDialog::Accepted) return;

  TReportConfig config = ReadReportConfig(*FSettings);
  std::vector<std::string> events;
  for (const QString& l : FLogForm->Lines()) events.push_back(l.toStdString());
  TReportInput in;
  in.Message = AMessage.toStdString();
  in.Mark = AMark.toStdString();
  in.UserName = FErrorForm->edName->text().toStdString();
  in.UserEmail = FErrorForm->edEmail->text().trimmed().toStdString();
  in.Details = FErrorForm->memDetails->toPlainText().toStdString();
  std::string err;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  TReportOutcome outcome = SendErrorReport(config, *FMailer, *FOpener, ReportLines, events, in, err);
  QApplication::restoreOverrideCursor();
  emit ErrorReportSent(static_cast<int>(outcome), QString::fromStdString(err));
}
