// Adding files to the list: loading the media libraries and the preview
// player's audio-output library when needed, the open dialog, probing each
// file. Files from the dialog, dropped onto the list and named on the
// command line all take the same path.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>

class QFileDialog;
class TCustomEncoder;
class TDURivezu;
class TErrorReporter;
class TFileListPanel;
class TMainForm;

class TFileAdder : public QObject {
  Q_OBJECT
public:
  TFileAdder(TMainForm* AForm, TFileListPanel* APanel, TErrorReporter* AReporter, TCustomEncoder* AEncoder,
             TDURivezu* APlayer);

  // The dialog: returns the chosen files (empty when cancelled). Replaceable
  // so that a scripted run can answer it.
  std::function<QStringList()> ChooseFiles;

  // Loads the media libraries through the encoder and the player's copy of
  // the audio-output library, if not loaded yet. False (reported) when one
  // cannot be loaded.
  bool PrepareLibraries();
  // Adds files in order (folders give their media files); each file that
  // the probe opens becomes a row, the others are refused with a message.
  // Returns the number of rows added.
  int AddFiles(const QStringList& APaths);

public slots:
  // The "Open file" button, "Add audio files" and "Add Files...".
  void AddButtonClick();
  // Dropped files and files named on the command line.
  void AddDroppedFiles(const QStringList& APaths);

  // The open-file dialog itself ("Open file", several existing files).
  QStringList RunOpenDialog();

private:
  TMainForm* FForm;
  TFileListPanel* FPanel;
  TErrorReporter* FReporter;
  TCustomEncoder* FEncoder;
  TDURivezu* FPlayer;
  QFileDialog* FDialog = nullptr;
};
