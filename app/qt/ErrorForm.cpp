#include "app/qt/ErrorForm.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

TErrorForm::TErrorForm(QWidget* AParent) : QDialog(AParent) {
  setObjectName("ErrorForm");
  setWindowTitle("Error!");
  setModal(true);

  auto* heading = new QLabel("The following error occured:", this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  lblErrorText = new QLabel(this);
  lblErrorText->setObjectName("lblErrorText");
  lblErrorText->setWordWrap(true);
  lblErrorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblErrorText->setStyleSheet("color: #B3261E;");
  Picture = new QLabel(this);
  Picture->setObjectName("Picture");
  Picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  Picture->setFixedSize(36, 36);

  auto* info = new QLabel("Error report is generated. Please send it to developers to fix the problem.\n"
                          "If you want to be notified when the problem is fixed,  you can leave\n"
                          "your contact information. You can also provide details of the problem. ",
                          this);
  info->setObjectName("lblInfo");

  edName = new QLineEdit(this);
  edName->setObjectName("edName");
  edEmail = new QLineEdit(this);
  edEmail->setObjectName("edEmail");
  memDetails = new QPlainTextEdit(this);
  memDetails->setObjectName("memDetails");
  memDetails->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memDetails->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memDetails->setLineWrapMode(QPlainTextEdit::NoWrap);

  SendButton = new QPushButton("Send", this);
  SendButton->setObjectName("SendButton");
  SendButton->setDefault(true);
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");
  connect(SendButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* top = new QGridLayout;
  top->addWidget(Picture, 0, 0, 2, 1, Qt::AlignTop);
  top->addWidget(heading, 0, 1);
  top->addWidget(lblErrorText, 1, 1);
  top->setColumnStretch(1, 1);

  auto* form = new QGridLayout;
  form->addWidget(new QLabel("Your Name:", this), 0, 0);
  form->addWidget(edName, 0, 1);
  form->addWidget(new QLabel("Your E-Mail:", this), 1, 0);
  form->addWidget(edEmail, 1, 1);
  form->addWidget(new QLabel("Details:", this), 2, 0, Qt::AlignTop);
  form->addWidget(memDetails, 2, 1);
  form->setVerticalSpacing(3);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(SendButton);
  buttons->addWidget(CancelButton);

  auto* lay = new QVBoxLayout(this);
  lay->setContentsMargins(10, 8, 10, 8);
  lay->setSpacing(5);
  lay->addLayout(top);
  lay->addWidget(info);
  lay->addLayout(form, 1);
  lay->addLayout(buttons);
  setFixedSize(460, 245);
}

void TErrorForm::showEvent(QShowEvent* AEvent) {
  setFixedHeight(245);
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  QDialog::showEvent(AEvent);
}
