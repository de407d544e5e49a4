#include "ui/Icons.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace salvex::ui {

namespace {

QIcon Standard(QStyle::StandardPixmap pixmap) { return QApplication::style()->standardIcon(pixmap); }

// A folder with a red cross in its lower right corner: a deleted folder.
QIcon Crossed(const QIcon& base) {
  QPixmap pixmap = base.pixmap(16, 16);
  if (pixmap.isNull()) {
    pixmap = QPixmap(16, 16);
    pixmap.fill(Qt::transparent);
  }
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(200, 30, 30), 2));
  painter.drawLine(8, 8, 15, 15);
  painter.drawLine(15, 8, 8, 15);
  return QIcon(pixmap);
}

}  // namespace

QIcon ImageIcon(int index) {
  switch (index) {
    case 0: return Standard(QStyle::SP_DirClosedIcon);
    case 1: return Standard(QStyle::SP_DirOpenIcon);
    case 2: return Standard(QStyle::SP_TrashIcon);
    case 3: return Standard(QStyle::SP_MessageBoxQuestion);
    case 4: return Standard(QStyle::SP_FileDialogContentsView);
    case 5: return Standard(QStyle::SP_FileIcon);
    case 6: return Crossed(Standard(QStyle::SP_DirClosedIcon));
    case 7: return Crossed(Standard(QStyle::SP_DirOpenIcon));
    case 8: return Crossed(Standard(QStyle::SP_FileIcon));
    default: return {};
  }
}

QIcon DeviceIcon(int index) {
  switch (index) {
    case 0: return Standard(QStyle::SP_DriveFDIcon);
    case 2: return Standard(QStyle::SP_DriveCDIcon);
    case 3: return Standard(QStyle::SP_DriveNetIcon);
    default: return Standard(QStyle::SP_DriveHDIcon);
  }
}

}  // namespace salvex::ui
