#include "app/qt/ConversionForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/FFEncode.h"

TConvForm::TConvForm(TCustomEncoder* AEncoder, QWidget* AParent) : QDialog(AParent), FEncoder(AEncoder) {
  setObjectName("ConvForm");
  setWindowTitle("Conversion");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);

  lblConvertingTitle = new QLabel("Converting ...", this);
  lblConvertingTitle->setObjectName("lblConvertingTitle");
  lblConvertingTitle->setTextFormat(Qt::PlainText);
  lblConvertingTitle->setMinimumWidth(1);
  lblConvertingTitle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  auto gauge = [this](const char* AName) {
    auto* g = new QProgressBar(this);
    g->setObjectName(AName);
    g->setRange(0, 100);
    g->setValue(0);
    g->setTextVisible(false);
    g->setFixedHeight(18);
    return g;
  };
  ProgressCurrent = gauge("ProgressCurrent");
  ProgressTotal = gauge("ProgressTotal");
  cbOpenOutput = new QCheckBox("Open output folder when conversion completed", this);
  cbOpenOutput->setObjectName("cbOpenOutput");
  cbOpenOutput->setChecked(true);
  cbShutdownPC = new QCheckBox("Shut down computer when conversion completed", this);
  cbShutdownPC->setObjectName("cbShutdownPC");
  cbShutdownPC->setChecked(false);
  PauseButton = new QPushButton("Pause", this);
  PauseButton->setObjectName("PauseButton");
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");
  for (QPushButton* b : {PauseButton, CancelButton}) {
    b->setAutoDefault(false);
    b->setMinimumWidth(90);
  }

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(PauseButton);
  buttons->addWidget(CancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 12, 14, 12);
  layout->setSpacing(8);
  layout->addWidget(lblConvertingTitle);
  layout->addWidget(ProgressCurrent);
  layout->addWidget(ProgressTotal);
  layout->addSpacing(4);
  layout->addWidget(cbOpenOutput);
  layout->addWidget(cbShutdownPC);
  layout->addStretch();
  layout->addLayout(buttons);

  connect(PauseButton, &QPushButton::clicked, this, &TConvForm::PauseButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &TConvForm::CancelButtonClick);
  resize(386, 205);
}

void TConvForm::showEvent(QShowEvent* AEvent) {
  resize(386, 205);
  if (parentWidget()) {
    QRect p = parentWidget()->window()->geometry();
    move(p.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(AEvent);
}

void TConvForm::BeginRun() {
  FRunActive = true;
  ProgressCurrent->setValue(0);
  ProgressTotal->setValue(0);
  lblConvertingTitle->setText("Converting...");
  PauseButton->setText("Pause");
  PauseButton->setEnabled(true);
  CancelButton->setEnabled(true);
}

void TConvForm::EndRun() {
  FRunActive = false;
  if (isVisible()) done(QDialog::Accepted);
}

void TConvForm::ShowForRun() {
  if (FRunActive) exec();
}

void TConvForm::SetGauges(int ACurrent, int ATotal) {
  ProgressCurrent->setValue(ACurrent);
  ProgressTotal->setValue(ATotal);
}

void TConvForm::PauseButtonClick() {
  if (PauseButton->text() == "Pause") {
    if (FEncoder) FEncoder->Pause();
    PauseButton->setText("Resume");
  } else {
    if (FEncoder) FEncoder->Resume();
    PauseButton->setText("Pause");
  }
}

void TConvForm::CancelButtonClick() {
  if (!FRunActive) {
    done(QDialog::Rejected);
    return;
  }
  PauseButton->setEnabled(false);
  CancelButton->setEnabled(false);
  emit CancelRequested();
}

void TConvForm::reject() {
  if (FRunActive) {
    if (CancelButton->isEnabled()) CancelButtonClick();
    return;
  }
  QDialog::reject();
}

void TConvForm::closeEvent(QCloseEvent* AEvent) {
  if (FRunActive) {
    AEvent->ignore();
    if (CancelButton->isEnabled()) CancelButtonClick();
    return;
  }
  QDialog::closeEvent(AEvent);
}
