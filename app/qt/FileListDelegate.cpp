#include "app/qt/FileListDelegate.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "app/qt/FileListModel.h"

namespace {

QPixmap MakeFilePicture() {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath page;
  page.moveTo(2.5, 0.5);
  page.lineTo(10.5, 0.5);
  page.lineTo(14.5, 4.5);
  page.lineTo(14.5, 15.5);
  page.lineTo(2.5, 15.5);
  page.closeSubpath();
  p.fillPath(page, QColor(0xF4, 0xF8, 0xFC));
  p.setPen(QColor(0x5A, 0x7D, 0xA6));
  p.drawPath(page);
  p.drawLine(QPointF(10.5, 0.5), QPointF(10.5, 4.5));
  p.drawLine(QPointF(10.5, 4.5), QPointF(14.5, 4.5));
  // A note.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3C, 0x8A, 0xBF));
  p.drawEllipse(QPointF(7, 12), 2, 1.6);
  p.fillRect(QRectF(8.4, 6, 1.2, 6), QColor(0x3C, 0x8A, 0xBF));
  p.fillRect(QRectF(8.4, 6, 3, 1.2), QColor(0x3C, 0x8A, 0xBF));
  return pm;
}

QPixmap MakeBar(QColor ATop, QColor ABottom, QColor ALine) {
  QPixmap pm(8, 20);
  QPainter p(&pm);
  QLinearGradient g(0, 0, 0, 20);
  g.setColorAt(0, ATop);
  g.setColorAt(1, ABottom);
  p.fillRect(pm.rect(), g);
  p.setPen(ALine);
  p.drawLine(0, 19, 7, 19);
  return pm;
}

} // namespace

const TFileListPictures& TFileListPictures::Get() {
  static const TFileListPictures pictures{
      MakeFilePicture(),
      MakeBar(QColor(0xFB, 0xFB, 0xFB), QColor(0xE3, 0xE6, 0xEA), QColor(0xC8, 0xCC, 0xD2)),
      MakeBar(QColor(0xDC, 0xEB, 0xFA), QColor(0xB7, 0xD5, 0xF2), QColor(0x9B, 0xC2, 0xEA)),
  };
  return pictures;
}

void DrawCellText(QPainter* APainter, const QRect& ARect, int AFlags, const QString& AText) {
  if (AText.isEmpty() || ARect.width() <= 0 || ARect.height() <= 0) return;
  QString shown = APainter->fontMetrics().elidedText(AText, Qt::ElideRight, ARect.width());
  APainter->drawText(ARect, AFlags | Qt::TextSingleLine, shown);
}

void TFileListDelegate::sgListDrawCell(QPainter* APainter, int AColumn, const QRect& ARect, bool ASelected,
                                       const QString& AText, const QFont& AFont) {
  const TFileListPictures& pics = TFileListPictures::Get();
  APainter->save();
  APainter->setClipRect(ARect);
  if (ASelected)
    APainter->drawPixmap(ARect, pics.imgTableRow);
  else
    APainter->fillRect(ARect, Qt::white);
  APainter->setFont(AFont);
  APainter->setPen(Qt::black);
  APainter->setBackgroundMode(Qt::TransparentMode);
  switch (AColumn) {
  case TFileListModel::colSource:
    APainter->drawPixmap(ARect.left() + 2, ARect.top() + 1, pics.Image3);
    DrawCellText(APainter, QRect(QPoint(ARect.left() + 23, ARect.top() + 2), ARect.bottomRight()),
                 Qt::AlignLeft | Qt::AlignTop, AText);
    break;
  case TFileListModel::colTrimmedLength:
  case TFileListModel::colEstimatedSize:
    DrawCellText(APainter, ARect, Qt::AlignCenter, AText);
    break;
  default:
    DrawCellText(APainter, QRect(QPoint(ARect.left() + 5, ARect.top()), ARect.bottomRight()),
                 Qt::AlignLeft | Qt::AlignVCenter, AText);
    break;
  }
  APainter->restore();
}

void TFileListDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                              const QModelIndex& AIndex) const {
  bool selected = AOption.state & QStyle::State_Selected;
  sgListDrawCell(APainter, AIndex.column(), AOption.rect, selected, AIndex.data(Qt::DisplayRole).toString(),
                 AOption.font);
}

QSize TFileListDelegate::sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const {
  QSize s = QStyledItemDelegate::sizeHint(AOption, AIndex);
  return {s.width(), 17};
}

void TFileListHeader::paintSection(QPainter* APainter, const QRect& ARect, int ASection) const {
  if (!ARect.isValid()) return;
  APainter->save();
  APainter->drawPixmap(ARect, TFileListPictures::Get().imgTableColumnCaptionBar);
  APainter->setPen(QColor(0xE6, 0xE6, 0xE6));
  APainter->drawLine(ARect.topRight(), ARect.bottomRight());
  APainter->setPen(Qt::black);
  APainter->setFont(font());
  QString caption =
      model() ? model()->headerData(ASection, orientation(), Qt::DisplayRole).toString() : QString();
  DrawCellText(APainter, ARect, Qt::AlignCenter, caption);
  APainter->restore();
}
