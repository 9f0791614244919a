// The file list in the main window: the model shown in sgList, the row
// selection (which selects the row's profile and applies the FLAC lock), the
// list operations behind the menus and buttons, the destination title
// editor and files dropped onto the list.
#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStringList>

#include "app/ProfileUsers.h"

class QLineEdit;
class TFileListDelegate;
class TFileListModel;
class TMainForm;

class TFileListPanel : public QObject, public IProfileUsers {
  Q_OBJECT
public:
  explicit TFileListPanel(TMainForm* AForm);
  ~TFileListPanel() override;

  TFileListModel* Model() const { return FModel; }
  QLineEdit* edDestinationTitle() const { return FTitleEditor; }

  // IProfileUsers.
  int FileCount() const override;
  int SelectedFile() const override;
  int FileProfile(int AFile) const override;
  void SetFileProfile(int AFile, int AProfile) override;
  void UpdateEstimatedSizes() override;
  void Clear() override;

  // Selects a file's row (-1: none) and runs the row selection.
  void SelectFile(int AFile);
  // The row selection: the file's profile, then the FLAC lock.
  void sgListClick();
  // A press on the list: on column 3 of a file's row it opens the title
  // editor for that row.
  void sgListMouseDown(Qt::MouseButton AButton, const QPoint& APos);
  // Opens the title editor over column 3 of a file's row.
  void OpenTitleEditor(int AFile);

public slots:
  void Remove1Click();
  void MoveUp1Click();
  void MoveDown1Click();
  void Rename1Click();
  void edDestinationTitleExit();

signals:
  // Local files and folders dropped onto the list.
  void FilesDropped(const QStringList& APaths);

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void SetCurrentRow(int AFile);
  QPointer<TMainForm> FForm;
  TFileListModel* FModel;
  TFileListDelegate* FDelegate;
  QLineEdit* FTitleEditor;
  QPersistentModelIndex FEditedRow;
  bool FInSelection = false;
};
