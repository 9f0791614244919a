// Painting the file list: the cells of the files' rows (sgListDrawCell) and
// the header bar of the list.
#pragma once

#include <QHeaderView>
#include <QPixmap>
#include <QStyledItemDelegate>

// The list's three pictures, drawn once.
struct TFileListPictures {
  QPixmap Image3;                   // the small file picture of column 0
  QPixmap imgTableColumnCaptionBar; // header bar
  QPixmap imgTableRow;              // selected row
  static const TFileListPictures& Get();
};

class TFileListDelegate : public QStyledItemDelegate {
  Q_OBJECT
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
             const QModelIndex& AIndex) const override;
  QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;

  // Draws one cell of a file's row: the background (the selected-row picture
  // or white), then the column's content.
  static void sgListDrawCell(QPainter* APainter, int AColumn, const QRect& ARect, bool ASelected,
                             const QString& AText, const QFont& AFont);
};

// The list's header: the header bar picture stretched over each section and
// its caption centred.
class TFileListHeader : public QHeaderView {
  Q_OBJECT
public:
  explicit TFileListHeader(QWidget* AParent = nullptr) : QHeaderView(Qt::Horizontal, AParent) {}

protected:
  void paintSection(QPainter* APainter, const QRect& ARect, int ASection) const override;
};

// Draws a single-line text with an ellipsis when it does not fit; an empty
// text draws nothing.
void DrawCellText(QPainter* APainter, const QRect& ARect, int AFlags, const QString& AText);
