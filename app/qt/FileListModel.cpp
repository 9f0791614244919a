#include "app/qt/FileListModel.h"

#include <fmt/format.h>

namespace {
const char* const Captions[] = {"Source", "Trimmed Length", "Estimated Size", "Destination File", "Format"};
const std::vector<TProfile> NoProfiles;
} // namespace

TFileListModel::TFileListModel(const std::vector<TProfile>* AProfiles, QObject* AParent)
    : QAbstractTableModel(AParent), FProfiles(AProfiles) {}

const std::vector<TProfile>& TFileListModel::Profiles() const {
  return FProfiles ? *FProfiles : NoProfiles;
}

int TFileListModel::rowCount(const QModelIndex& AParent) const {
  return AParent.isValid() ? 0 : FList.Count();
}

int TFileListModel::columnCount(const QModelIndex& AParent) const {
  return AParent.isValid() ? 0 : ColumnCount;
}

const TAudioFile* TFileListModel::File(int AIndex) const {
  return FList.Valid(AIndex) ? &FList.AudioFiles[static_cast<size_t>(AIndex)] : nullptr;
}

QString TFileListModel::CellText(int ARow, int AColumn) const {
  const TAudioFile* f = File(ARow);
  if (!f) return {};
  switch (AColumn) {
  case colSource:
    return QString::fromStdString(f->SourceTitleExt);
  case colTrimmedLength:
    return QString::fromStdString(FormatDuration(f->TrimmedLength));
  case colEstimatedSize:
    return QString::fromStdString(fmt::format("{:.2f} MB", f->EstimatedSize));
  case colDestination:
    return QString::fromStdString(f->DestinationTitle);
  case colFormat:
    if (f->ProfileInd >= 0 && static_cast<size_t>(f->ProfileInd) < Profiles().size())
      return QString::fromStdString(Profiles()[static_cast<size_t>(f->ProfileInd)].FormatExt);
    return {};
  default:
    return {};
  }
}

QVariant TFileListModel::data(const QModelIndex& AIndex, int ARole) const {
  if (!checkIndex(AIndex, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  const TAudioFile* f = File(AIndex.row());
  switch (ARole) {
  case Qt::DisplayRole:
    return CellText(AIndex.row(), AIndex.column());
  case Qt::ToolTipRole:
    return AIndex.column() == colSource ? QString::fromStdString(f->Source) : QVariant();
  case Qt::TextAlignmentRole:
    if (AIndex.column() == colSource) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignTop);
    if (AIndex.column() >= colDestination) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant::fromValue(Qt::AlignCenter);
  default:
    return {};
  }
}

QVariant TFileListModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const {
  if (AOrientation != Qt::Horizontal || ASection < 0 || ASection >= ColumnCount) return {};
  if (ARole == Qt::DisplayRole) return QString(Captions[ASection]);
  if (ARole == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  return {};
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& AIndex) const {
  if (!AIndex.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void TFileListModel::RowChanged(int ARow) {
  if (!FList.Valid(ARow)) return;
  emit dataChanged(index(ARow, 0), index(ARow, ColumnCount - 1));
}

void TFileListModel::AppendFile(const TAudioFile& AFile) {
  int row = FList.Count();
  beginInsertRows({}, row, row);
  FList.AudioFiles.push_back(AFile);
  UpdateEstimatedSize(FList.AudioFiles.back(), Profiles());
  endInsertRows();
}

TFileList::TRemoveResult TFileListModel::Remove(int ASelected, int& ANewSelected) {
  ANewSelected = ASelected;
  if (!FList.Valid(ASelected)) return TFileList::TRemoveResult::Nothing;
  if (FList.Count() == 1) {
    ClearAll();
    ANewSelected = -1;
    return TFileList::TRemoveResult::ClearedAll;
  }
  beginRemoveRows({}, ASelected, ASelected);
  FList.Selected = ASelected;
  auto r = FList.Remove();
  endRemoveRows();
  ANewSelected = FList.Selected;
  return r;
}

bool TFileListModel::MoveUp(int ASelected, int& ANewSelected) {
  ANewSelected = ASelected;
  if (FList.Count() < 2 || !FList.Valid(ASelected) || ASelected == 0) return false;
  beginMoveRows({}, ASelected, ASelected, {}, ASelected - 1);
  FList.Selected = ASelected;
  FList.MoveUp();
  endMoveRows();
  ANewSelected = FList.Selected;
  return true;
}

bool TFileListModel::MoveDown(int ASelected, int& ANewSelected) {
  ANewSelected = ASelected;
  if (FList.Count() < 2 || !FList.Valid(ASelected) || ASelected + 1 >= FList.Count()) return false;
  // Moving row r down is moving row r + 1 above it.
  beginMoveRows({}, ASelected + 1, ASelected + 1, {}, ASelected);
  FList.Selected = ASelected;
  FList.MoveDown();
  endMoveRows();
  ANewSelected = FList.Selected;
  return true;
}

void TFileListModel::ClearAll() {
  beginResetModel();
  FList.ClearAll();
  endResetModel();
}

bool TFileListModel::SetDestinationTitle(int AIndex, const QString& ATitle) {
  if (!FList.SetDestinationTitle(AIndex, ATitle.toStdString())) return false;
  emit dataChanged(index(AIndex, colDestination), index(AIndex, colDestination));
  return true;
}

void TFileListModel::SetFileProfile(int AIndex, int AProfile) {
  if (!FList.Valid(AIndex)) return;
  FList.AudioFiles[static_cast<size_t>(AIndex)].ProfileInd = AProfile;
  RowChanged(AIndex);
}

void TFileListModel::UpdateEstimatedSizes() {
  for (auto& f : FList.AudioFiles) UpdateEstimatedSize(f, Profiles());
  if (FList.Count() > 0) emit dataChanged(index(0, 0), index(FList.Count() - 1, ColumnCount - 1));
}

void TFileListModel::SetTrim(int AIndex, int64_t AStart, int64_t AEnd) {
  if (!FList.Valid(AIndex)) return;
  TAudioFile& f = FList.AudioFiles[static_cast<size_t>(AIndex)];
  f.TimeStart = AStart;
  f.TimeEnd = AEnd;
  f.TrimmedLength = AEnd > AStart ? AEnd - AStart : 0;
  UpdateEstimatedSize(f, Profiles());
  RowChanged(AIndex);
}
