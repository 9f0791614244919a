// The events log window: a read-only memo of event lines and an OK button.
#pragma once

#include <QDialog>
#include <QLocale>
#include <QStringList>
#include <QTime>

class QPlainTextEdit;
class QPushButton;

// The locale's long time format without its time-zone name.
QString EventTimeFormat(const QLocale& ALocale);
// AText stamped with the time: "14:05:33-> Started conversion".
QString EventLineText(const QLocale& ALocale, const QTime& ATime, const QString& AText);

class TLogForm : public QDialog {
  Q_OBJECT
public:
  explicit TLogForm(QWidget* AParent = nullptr);
  // Appends the current local time, "-> " and AText.
  void AddEventLine(const QString& AText);
  // Appends a line as it stands.
  void AddBareLine(const QString& AText);
  QStringList Lines() const;

  QPlainTextEdit* mmoLog;
  QPushButton* OKButton;

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  int FLineCount = 0;
};
