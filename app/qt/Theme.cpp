#include "app/qt/Theme.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

void ApplySondelTheme(QApplication& AApp) {
  AApp.setStyle(QStyleFactory::create("Fusion"));
  QPalette p;
  const QColor window(0xEE, 0xF1, 0xF4);
  const QColor base(0xFF, 0xFF, 0xFF);
  const QColor text(0x22, 0x2A, 0x33);
  const QColor accent(0x3C, 0x8A, 0xBF);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(0xF6, 0xF8, 0xFA));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0xE3, 0xE8, 0xED));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, accent);
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::ToolTipBase, base);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::Link, accent);
  p.setColor(QPalette::Mid, QColor(0xB8, 0xC2, 0xCC));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9A, 0xA3, 0xAD));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9A, 0xA3, 0xAD));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x9A, 0xA3, 0xAD));
  AApp.setPalette(p);
}
