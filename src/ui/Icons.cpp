#include "ui/Icons.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace salvex::ui {

namespace {

// A style's icon at the small and the large size; styles that ship only the small one get it
// scaled, so that large icons are all of one size.
QIcon Standard(QStyle::StandardPixmap which) {
  const QIcon base = QApplication::style()->standardIcon(which);
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pixmap = base.pixmap(size, size);
    if (!pixmap.isNull() && pixmap.width() < size)
      pixmap = pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!pixmap.isNull()) icon.addPixmap(pixmap);
  }
  return icon;
}

// A folder with a red cross in its lower right corner: a deleted folder.
// Drawn at the small and the large icon size, so that large icons are all of one size.
QIcon Crossed(const QIcon& base) {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pixmap = base.pixmap(size, size);
    if (pixmap.isNull() || pixmap.width() != size) {
      pixmap = QPixmap(size, size);
      pixmap.fill(Qt::transparent);
      QPainter under(&pixmap);
      base.paint(&under, pixmap.rect());
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(200, 30, 30), size / 8.0));
    const int half = size / 2, end = size - 1;
    painter.drawLine(half, half, end, end);
    painter.drawLine(end, half, half, end);
    icon.addPixmap(pixmap);
  }
  return icon;
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

int ImageOf(TRowIcon icon) {
  switch (icon) {
    case TRowIcon::Folder: return 0;
    case TRowIcon::DeletedFolder: return 6;
    case TRowIcon::File: return 5;
    case TRowIcon::DeletedFile: return 8;
  }
  return -1;
}

QIcon StandardIcon(QStyle::StandardPixmap which) { return Standard(which); }

QIcon DeviceIcon(int index) {
  switch (index) {
    case 0: return Standard(QStyle::SP_DriveFDIcon);
    case 2: return Standard(QStyle::SP_DriveCDIcon);
    case 3: return Standard(QStyle::SP_DriveNetIcon);
    default: return Standard(QStyle::SP_DriveHDIcon);
  }
}

}  // namespace salvex::ui
