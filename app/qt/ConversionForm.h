// The progress window of a conversion run ("Conversion"): the current file,
// the gauges of the current task and of the whole run, pause and cancel, and
// what to do when the run has ended.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class TCustomEncoder;

class TConvForm : public QDialog {
  Q_OBJECT
public:
  explicit TConvForm(TCustomEncoder* AEncoder, QWidget* AParent = nullptr);

  QLabel* lblConvertingTitle;
  QProgressBar* ProgressCurrent;
  QProgressBar* ProgressTotal;
  QCheckBox* cbOpenOutput;
  QCheckBox* cbShutdownPC;
  QPushButton* PauseButton;
  QPushButton* CancelButton;

  // A run starts: gauges at 0, "Converting...", the pause button reads
  // "Pause". Until EndRun the window cannot be closed other than by Cancel.
  void BeginRun();
  // The run has ended: the window closes (now, or at once when shown later).
  void EndRun();
  bool RunActive() const { return FRunActive; }
  // Shows the window modally for the running run; returns at once when the
  // run has already ended.
  void ShowForRun();
  void SetGauges(int ACurrent, int ATotal);

public slots:
  void PauseButtonClick();
  void CancelButtonClick();
  // The close control and Escape act as Cancel while the run works.
  void reject() override;

signals:
  // Cancel was pressed while the run works; the run stops the encoder.
  void CancelRequested();

protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;

private:
  TCustomEncoder* FEncoder;
  bool FRunActive = false;
};
