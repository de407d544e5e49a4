#include "ui/DebugWindow.h"

#include <QGuiApplication>
#include <QScreen>

#include "common/Debug.h"

namespace salvex::ui {

TDebugWindow::TDebugWindow(QWidget* parent) : QListWidget(parent) {
  setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
  setWindowTitle("Debug Box");
  resize(250, 200);
  QFont small = font();
  small.setPointSize(7);
  setFont(small);
  SetDebugSink([this](std::string_view line) { Append(line); });
}

TDebugWindow::~TDebugWindow() { SetDebugSink({}); }

void TDebugWindow::Append(std::string_view line) {
  addItem(QString::fromUtf8(line.data(), qsizetype(line.size())));
  setCurrentRow(count() - 1);
}

void TDebugWindow::ShowAtCorner() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.right() - width(), area.top());
  }
  show();
}

}  // namespace salvex::ui
