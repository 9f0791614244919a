// The about box: the logo, the version and OK.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TAboutForm : public QDialog {
  Q_OBJECT
public:
  // ALogoFile: the logo picture; left out when it cannot be read.
  explicit TAboutForm(const QString& ALogoFile, QWidget* AParent = nullptr);
  QLabel* Logo;
  QLabel* lblVersion;
  QPushButton* OKButton;
};
