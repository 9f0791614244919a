// The error report window ("Error!"): the message, the user's contact boxes
// and Send / Cancel.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TErrorForm : public QDialog {
  Q_OBJECT
public:
  explicit TErrorForm(QWidget* AParent = nullptr);

  QLabel* lblErrorText;
  QLabel* Picture;
  QLineEdit* edName;
  QLineEdit* edEmail;
  QPlainTextEdit* memDetails;
  QPushButton* SendButton;
  QPushButton* CancelButton;

protected:
  void showEvent(QShowEvent* AEvent) override;
};
