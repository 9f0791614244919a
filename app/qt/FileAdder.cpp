#include "app/qt/FileAdder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStackedWidget>
#include <vector>

#include "app/AddFiles.h"
#include "app/qt/FileListModel.h"
#include "app/qt/FileListPanel.h"
#include "app/qt/MainForm.h"
#include "app/qt/Reporting.h"
#include "engine/FFEncode.h"
#include "player/FFPlay.h"

TFileAdder::TFileAdder(TMainForm* AForm, TFileListPanel* APanel, TErrorReporter* AReporter,
                       TCustomEncoder* AEncoder, TDURivezu* APlayer)
    : QObject(AForm), FForm(AForm), FPanel(APanel), FReporter(AReporter), FEncoder(AEncoder),
      FPlayer(APlayer) {
  if (FForm->OpenDialogFilter.isEmpty())
    FForm->OpenDialogFilter = QString::fromStdString(OpenDialogFilterText());
  ChooseFiles = [this] { return RunOpenDialog(); };
  connect(FForm, &TMainForm::AddButtonClick, this, &TFileAdder::AddButtonClick);
  connect(FPanel, &TFileListPanel::FilesDropped, this, &TFileAdder::AddDroppedFiles);
}

bool TFileAdder::PrepareLibraries() {
  if (!FPlayer->AVLibLoaded()) {
    if (!FEncoder->LoadAVLib(FForm->AppFolder + "LibAV")) {
      QString msg = QString::fromStdString(FEncoder->LastErrMsg());
      FReporter->ShowErrorReport(msg, "CLM_FFLoadAVLib2");
      FReporter->AddEventLine(msg);
      return false;
    }
  }
  if (!FPlayer->SDLLibLoaded()) {
    if (!FPlayer->LoadSDLCopy(FForm->AppFolder + "LibAV")) {
      FReporter->AddBareLine(QString::fromStdString(FPlayer->LastErrMsg()));
      FReporter->ShowErrorReport("Error loading SDL library", "CLM_SDlLibLoad");
      return false;
    }
  }
  return true;
}

QStringList TFileAdder::RunOpenDialog() {
  if (!FDialog) {
    FDialog = new QFileDialog(FForm, "Open file");
    FDialog->setObjectName("dlgopen");
    FDialog->setFileMode(QFileDialog::ExistingFiles);
    FDialog->setAcceptMode(QFileDialog::AcceptOpen);
    QStringList filters =
        QString::fromStdString(QtOpenDialogFilter(FForm->OpenDialogFilter.toStdString())).split(";;");
    FDialog->setNameFilters(filters);
    FDialog->selectNameFilter(filters.value(0));
    FDialog->setDirectory(FForm->OpenDialogInitialFolder);
  }
  if (FDialog->exec() != QDialog::Accepted) return {};
  return FDialog->selectedFiles();
}

void TFileAdder::AddButtonClick() {
  if (FForm->Profiles.empty()) {
    QMessageBox::warning(FForm, "Warning", "No output profiles are loaded.");
    return;
  }
  if (!PrepareLibraries()) return;
  QStringList files = ChooseFiles();
  if (files.isEmpty()) return;
  QString folder = QFileInfo(files.first()).absolutePath();
  FForm->OpenDialogLastFolder = QDir::toNativeSeparators(folder).toStdString();
  AddFiles(files);
}

void TFileAdder::AddDroppedFiles(const QStringList& APaths) {
  if (APaths.isEmpty()) return;
  if (FForm->Profiles.empty()) {
    QMessageBox::warning(FForm, "Warning", "No output profiles are loaded.");
    return;
  }
  if (!PrepareLibraries()) return;
  std::vector<std::string> paths;
  for (const QString& p : APaths) paths.push_back(p.toStdString());
  QStringList files;
  for (auto& f : ExpandMediaPaths(paths)) files << QString::fromStdString(f);
  AddFiles(files);
}

int TFileAdder::AddFiles(const QStringList& APaths) {
  FForm->ListFilesAdded();
  TFileListModel* model = FPanel->Model();
  int profile = FForm->CurrentProfileInd;
  if (profile < 0 || profile >= static_cast<int>(FForm->Profiles.size())) profile = 0;
  int added = 0;
  for (const QString& path : APaths) {
    std::string source = path.toStdString();
    int64_t duration = -1;
    std::string err;
    if (!ProbeMediaFile(FEncoder->Decoder(), source, duration, err)) {
      FReporter->AddBareLine("");
      FReporter->AddEventLine(QString::fromStdString("File load error: " + err));
      FReporter->AddBareLine("");
      QMessageBox::information(FForm, "Information", QString::fromStdString(RefusalMessage(source)));
      continue;
    }
    FReporter->AddEventLine(QString::fromStdString("Added file " + source));
    model->AppendFile(NewAudioFile(source, duration, profile));
    ++added;
  }
  FForm->ListPages->setCurrentWidget(FForm->sgList);
  if (model->Count() > 0) {
    int sel = FPanel->SelectedFile();
    FPanel->SelectFile(sel < 0 ? 0 : sel);
  }
  return added;
}
