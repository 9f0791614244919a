#include "app/qt/AboutForm.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

TAboutForm::TAboutForm(const QString& ALogoFile, QWidget* AParent) : QDialog(AParent) {
  setObjectName("AboutForm");
  setWindowTitle("About Tavrik Sondel");
  setModal(true);
  Logo = new QLabel(this);
  Logo->setObjectName("Logo");
  QPixmap logo(ALogoFile);
  if (!logo.isNull()) Logo->setPixmap(logo);
  Logo->setVisible(!logo.isNull());
  auto* title = new QLabel("Tavrik Sondel", this);
  QFont f = title->font();
  f.setPointSizeF(f.pointSizeF() * 1.5);
  f.setBold(true);
  title->setFont(f);
  lblVersion = new QLabel("Version 1.5", this);
  lblVersion->setObjectName("lblVersion");
  auto* blurb = new QLabel("Converts audio files between formats.", this);
  OKButton = new QPushButton("OK", this);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* text = new QVBoxLayout;
  text->addWidget(title);
  text->addWidget(lblVersion);
  text->addWidget(blurb);
  text->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(Logo, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addLayout(text, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  auto* lay = new QVBoxLayout(this);
  lay->setContentsMargins(16, 16, 16, 12);
  lay->addLayout(top);
  lay->addLayout(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(340, 150)));
}
