#include "app/qt/LogForm.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

QString EventTimeFormat(const QLocale& ALocale) {
  QString f = ALocale.timeFormat(QLocale::LongFormat);
  // Drop every unquoted run of 't' (the zone name) with the spaces before it.
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < f.size(); ++i) {
    QChar c = f[i];
    if (c == '\'') quoted = !quoted;
    if (!quoted && c == 't') {
      while (!out.isEmpty() && out.back() == ' ') out.chop(1);
      while (i + 1 < f.size() && f[i + 1] == 't') ++i;
      continue;
    }
    out += c;
  }
  return out.trimmed();
}

QString EventLineText(const QLocale& ALocale, const QTime& ATime, const QString& AText) {
  return ALocale.toString(ATime, EventTimeFormat(ALocale)) + "-> " + AText;
}

TLogForm::TLogForm(QWidget* AParent) : QDialog(AParent) {
  setObjectName("LogForm");
  setWindowTitle("Events Log");
  setModal(true);
  setSizeGripEnabled(true);
  resize(520, 360);
  mmoLog = new QPlainTextEdit(this);
  mmoLog->setObjectName("mmoLog");
  mmoLog->setReadOnly(true);
  mmoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  mmoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmoLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  OKButton = new QPushButton("OK", this);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  auto* lay = new QVBoxLayout(this);
  lay->addWidget(mmoLog, 1);
  lay->addLayout(buttons);
}

void TLogForm::AddEventLine(const QString& AText) {
  AddBareLine(EventLineText(QLocale(), QTime::currentTime(), AText));
}

void TLogForm::AddBareLine(const QString& AText) {
  mmoLog->appendPlainText(AText);
  ++FLineCount;
}

QStringList TLogForm::Lines() const {
  if (FLineCount == 0) return {};
  return mmoLog->toPlainText().split('\n');
}

void TLogForm::showEvent(QShowEvent* AEvent) {
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  QDialog::showEvent(AEvent);
}
