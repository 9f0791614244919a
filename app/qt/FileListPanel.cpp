#include "app/qt/FileListPanel.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>

#include "app/FileList.h"
#include "app/qt/FileListDelegate.h"
#include "app/qt/FileListModel.h"
#include "app/qt/MainForm.h"

namespace {

QStringList LocalPaths(const QMimeData* AData) {
  QStringList paths;
  if (!AData || !AData->hasUrls()) return paths;
  for (const QUrl& u : AData->urls())
    if (u.isLocalFile() && !u.toLocalFile().isEmpty()) paths << u.toLocalFile();
  return paths;
}

} // namespace

TFileListPanel::TFileListPanel(TMainForm* AForm) : QObject(AForm), FForm(AForm) {
  FModel = new TFileListModel(&FForm->Profiles, this);
  FDelegate = new TFileListDelegate(this);
  TListView* view = FForm->sgList;

  // The header paints the list's header bar; it keeps the view's settings.
  QHeaderView* old = view->horizontalHeader();
  auto* header = new TFileListHeader(view);
  header->setObjectName("sgListHeader");
  header->setFixedHeight(20);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setHighlightSections(false);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignCenter);
  header->setFont(old->font());
  view->setHorizontalHeader(header);

  FForm->SetListModel(FModel);
  view->setItemDelegate(FDelegate);
  view->setMouseTracking(false);
  view->viewport()->installEventFilter(this);
  view->viewport()->setAcceptDrops(true);
  view->setAcceptDrops(true);
  FForm->GettingStartedPanel->setAcceptDrops(true);
  FForm->GettingStartedPanel->installEventFilter(this);
  FForm->SetProfileUsers(this);

  FTitleEditor = new QLineEdit(view->viewport());
  FTitleEditor->setObjectName("edDestinationTitle");
  FTitleEditor->setFont(view->font());
  FTitleEditor->hide();
  connect(FTitleEditor, &QLineEdit::editingFinished, this, &TFileListPanel::edDestinationTitleExit);

  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    if (!FInSelection) sgListClick();
  });
  connect(FForm, &TMainForm::Remove1Click, this, &TFileListPanel::Remove1Click);
  connect(FForm, &TMainForm::MoveUp1Click, this, &TFileListPanel::MoveUp1Click);
  connect(FForm, &TMainForm::MoveDown1Click, this, &TFileListPanel::MoveDown1Click);
  connect(FForm, &TMainForm::Rename1Click, this, &TFileListPanel::Rename1Click);
}

TFileListPanel::~TFileListPanel() {
  if (FForm) FForm->SetProfileUsers(nullptr);
}

int TFileListPanel::FileCount() const {
  return FModel->Count();
}

int TFileListPanel::SelectedFile() const {
  QModelIndex cur = FForm->sgList->selectionModel()->currentIndex();
  int row = cur.isValid() ? cur.row() : -1;
  return row >= 0 && row < FModel->Count() ? row : -1;
}

int TFileListPanel::FileProfile(int AFile) const {
  const TAudioFile* f = FModel->File(AFile);
  return f ? f->ProfileInd : -1;
}

void TFileListPanel::SetFileProfile(int AFile, int AProfile) {
  FModel->SetFileProfile(AFile, AProfile);
}

void TFileListPanel::UpdateEstimatedSizes() {
  FModel->UpdateEstimatedSizes();
  FForm->sgList->viewport()->update();
}

void TFileListPanel::Clear() {
  FTitleEditor->hide();
  FModel->ClearAll();
}

void TFileListPanel::SetCurrentRow(int AFile) {
  QItemSelectionModel* sel = FForm->sgList->selectionModel();
  if (AFile < 0) {
    sel->clear();
    return;
  }
  QModelIndex idx = FModel->index(AFile, 0);
  sel->setCurrentIndex(idx, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TFileListPanel::SelectFile(int AFile) {
  FInSelection = true;
  SetCurrentRow(AFile);
  FInSelection = false;
  sgListClick();
}

void TFileListPanel::sgListClick() {
  int i = SelectedFile();
  const TAudioFile* f = FModel->File(i);
  if (!f) return;
  const auto& profiles = FForm->Profiles;
  int count = static_cast<int>(profiles.size());
  if (f->ProfileInd >= 0 && f->ProfileInd < count) {
    FForm->CurrentProfileInd = f->ProfileInd;
    FForm->SelectProfile(f->ProfileInd);
  }
  // Only FLAC inputs may choose their profile; any other input converts with
  // the first FLAC profile.
  f = FModel->File(i);
  if (f && IsFlacSource(f->SourceTitleExt)) {
    FForm->cmbProfile->setEnabled(true);
    return;
  }
  int flac = FirstFlacProfile(profiles);
  if (flac >= 0) FForm->SelectProfile(flac);
  FForm->cmbProfile->setEnabled(false);
}

void TFileListPanel::Remove1Click() {
  int sel = SelectedFile();
  if (FModel->Count() == 0 || sel < 0) return;
  if (FModel->Count() == 1) {
    FForm->ClearAll1Click();
    return;
  }
  FTitleEditor->hide();
  int now = -1;
  FInSelection = true;
  FModel->Remove(sel, now);
  SetCurrentRow(now);
  FInSelection = false;
  // Another file now holds the selected row: its profile and lock apply.
  sgListClick();
  FForm->sgList->viewport()->update();
}

void TFileListPanel::MoveUp1Click() {
  int now = -1;
  FInSelection = true;
  if (FModel->MoveUp(SelectedFile(), now)) SetCurrentRow(now);
  FInSelection = false;
  FForm->sgList->viewport()->update();
}

void TFileListPanel::MoveDown1Click() {
  int now = -1;
  FInSelection = true;
  if (FModel->MoveDown(SelectedFile(), now)) SetCurrentRow(now);
  FInSelection = false;
  FForm->sgList->viewport()->update();
}

void TFileListPanel::Rename1Click() {
  int sel = SelectedFile();
  if (sel >= 0) OpenTitleEditor(sel);
}

void TFileListPanel::OpenTitleEditor(int AFile) {
  const TAudioFile* f = FModel->File(AFile);
  if (!f) return;
  TListView* view = FForm->sgList;
  QModelIndex idx = FModel->index(AFile, TFileListModel::colDestination);
  view->scrollTo(idx);
  QRect cell = view->visualRect(idx);
  FEditedRow = QPersistentModelIndex(idx);
  FTitleEditor->setGeometry(cell.left(), cell.top() - 1, view->columnWidth(TFileListModel::colDestination),
                            cell.height() + 2);
  FTitleEditor->setText(QString::fromStdString(f->DestinationTitle));
  FTitleEditor->show();
  FTitleEditor->raise();
  FTitleEditor->setFocus(Qt::OtherFocusReason);
  FTitleEditor->selectAll();
}

void TFileListPanel::edDestinationTitleExit() {
  if (FTitleEditor->isHidden()) return;
  // The title belongs to the row the editor was opened on, wherever it went.
  if (FEditedRow.isValid()) FModel->SetDestinationTitle(FEditedRow.row(), FTitleEditor->text());
  FEditedRow = QPersistentModelIndex();
  FTitleEditor->hide();
  FForm->sgList->setFocus(Qt::OtherFocusReason);
}

void TFileListPanel::sgListMouseDown(Qt::MouseButton AButton, const QPoint& APos) {
  if (AButton != Qt::LeftButton) return;
  QModelIndex idx = FForm->sgList->indexAt(APos);
  if (!idx.isValid() || idx.column() != TFileListModel::colDestination) return;
  QPersistentModelIndex row(idx);
  // After the view has selected the row.
  QTimer::singleShot(0, this, [this, row] {
    if (row.isValid()) OpenTitleEditor(row.row());
  });
}

bool TFileListPanel::eventFilter(QObject* AWatched, QEvent* AEvent) {
  switch (AEvent->type()) {
  case QEvent::DragEnter:
  case QEvent::DragMove: {
    auto* e = static_cast<QDropEvent*>(AEvent);
    if (LocalPaths(e->mimeData()).isEmpty()) return false;
    e->setDropAction(Qt::CopyAction);
    e->accept();
    return true;
  }
  case QEvent::Drop: {
    auto* e = static_cast<QDropEvent*>(AEvent);
    QStringList paths = LocalPaths(e->mimeData());
    if (paths.isEmpty()) return false;
    e->setDropAction(Qt::CopyAction);
    e->accept();
    // The drop ends before the files are probed (message boxes may follow).
    QTimer::singleShot(0, this, [this, paths] { emit FilesDropped(paths); });
    return true;
  }
  case QEvent::MouseButtonPress: {
    if (AWatched != FForm->sgList->viewport()) return false;
    auto* e = static_cast<QMouseEvent*>(AEvent);
    sgListMouseDown(e->button(), e->position().toPoint());
    return false;
  }
  default:
    return false;
  }
}
