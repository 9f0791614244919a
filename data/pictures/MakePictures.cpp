// Draws the pictures shipped in sondel-profiles/: gs.bmp (the getting-started
// picture over the empty file list) and logo.bmp (the about box).
//   sondel_pictures <output folder>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <cstdlib>

namespace {

const QColor Accent(0x3C, 0x8A, 0xBF);
const QColor Ink(0x22, 0x2A, 0x33);

// A few bars of a level meter: the mark used in both pictures.
void DrawWave(QPainter& APainter, QRectF ABox, const QColor& AColor) {
  const double heights[] = {0.35, 0.7, 1.0, 0.55, 0.85, 0.45, 0.25};
  const int n = 7;
  double w = ABox.width() / (n * 2 - 1);
  APainter.setPen(Qt::NoPen);
  APainter.setBrush(AColor);
  for (int i = 0; i < n; ++i) {
    double h = ABox.height() * heights[i];
    QRectF bar(ABox.left() + i * 2 * w, ABox.center().y() - h / 2, w, h);
    APainter.drawRoundedRect(bar, w / 2, w / 2);
  }
}

bool SaveBmp(const QImage& AImage, const QString& AFile) {
  return AImage.convertToFormat(QImage::Format_RGB888).save(AFile, "BMP");
}

QImage GettingStarted() {
  QImage img(360, 114, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient bg(0, 0, 0, 114);
  bg.setColorAt(0, QColor(0xFF, 0xFF, 0xFF));
  bg.setColorAt(1, QColor(0xE8, 0xEF, 0xF5));
  p.fillRect(img.rect(), bg);
  p.setPen(QPen(QColor(0xC9, 0xD6, 0xE2), 1, Qt::DashLine));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(4.5, 4.5, 351, 105), 8, 8);
  p.setPen(Qt::NoPen);
  p.setBrush(Accent);
  p.drawEllipse(QRectF(18, 29, 56, 56));
  DrawWave(p, QRectF(29, 40, 34, 34), Qt::white);

  QFont title("DejaVu Sans");
  title.setPixelSize(15);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Ink);
  p.drawText(QPointF(90, 32), "Getting started");
  QFont body("DejaVu Sans");
  body.setPixelSize(11);
  p.setFont(body);
  p.setPen(QColor(0x44, 0x4E, 0x59));
  p.drawText(QPointF(90, 54), "1. Click \"Open file\" to add audio files.");
  p.drawText(QPointF(90, 72), "2. Choose an output profile on the right.");
  p.drawText(QPointF(90, 90), "3. Press \"Start\" to convert them.");
  return img;
}

QImage Logo() {
  QImage img(96, 96, QImage::Format_RGB32);
  img.fill(QColor(0xEE, 0xF1, 0xF4));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 96, 96);
  g.setColorAt(0, Accent.lighter(120));
  g.setColorAt(1, Accent.darker(130));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(6, 6, 84, 84), 18, 18);
  DrawWave(p, QRectF(21, 24, 54, 48), Qt::white);
  return img;
}

} // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  QString dir = QString::fromLocal8Bit(argv[1]);
  if (!SaveBmp(GettingStarted(), dir + "/gs.bmp") || !SaveBmp(Logo(), dir + "/logo.bmp")) {
    std::fprintf(stderr, "cannot write the pictures into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
