// The file list as a table model: one row per file of AudioFiles, the five
// columns of the list (source, trimmed length, estimated size, destination,
// format).
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "app/FileList.h"

class TFileListModel : public QAbstractTableModel {
  Q_OBJECT
public:
  enum TColumn { colSource, colTrimmedLength, colEstimatedSize, colDestination, colFormat, ColumnCount };

  // AProfiles is the profile set the rows' ProfileInd name (it outlives the
  // model).
  explicit TFileListModel(const std::vector<TProfile>* AProfiles, QObject* AParent = nullptr);

  int rowCount(const QModelIndex& AParent = QModelIndex()) const override;
  int columnCount(const QModelIndex& AParent = QModelIndex()) const override;
  QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;
  QVariant headerData(int ASection, Qt::Orientation AOrientation, int ARole = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& AIndex) const override;

  // The cell's text as the list shows it ("" for a profile that is not in
  // the set).
  QString CellText(int ARow, int AColumn) const;

  const std::vector<TAudioFile>& AudioFiles() const { return FList.AudioFiles; }
  const TAudioFile* File(int AIndex) const;
  int Count() const { return FList.Count(); }

  // Appends a file and computes its size estimate.
  void AppendFile(const TAudioFile& AFile);
  // The list operations on the file ASelected (see TFileList). They return
  // the selection afterwards (-1: none).
  TFileList::TRemoveResult Remove(int ASelected, int& ANewSelected);
  bool MoveUp(int ASelected, int& ANewSelected);
  bool MoveDown(int ASelected, int& ANewSelected);
  void ClearAll();
  bool SetDestinationTitle(int AIndex, const QString& ATitle);
  void SetFileProfile(int AIndex, int AProfile);
  // Every file's size estimate again (after profile or trim changes).
  void UpdateEstimatedSizes();
  // A trim of one file: its start, end and length, then its estimate.
  void SetTrim(int AIndex, int64_t AStart, int64_t AEnd);

private:
  const std::vector<TProfile>& Profiles() const;
  void RowChanged(int ARow);
  const std::vector<TProfile>* FProfiles;
  TFileList FList;
};
