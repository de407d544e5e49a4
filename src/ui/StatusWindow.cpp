#include "ui/StatusWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/MapBar.h"
#include "ui/Translate.h"

namespace salvex::ui {

TStatusWindow::TStatusWindow(QWidget* parent) : QDialog(parent) {
  // Shown without blocking the caller, yet above every other window (the drive dialog included),
  // so that its Cancel button is the one control that answers while work runs.
  setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(this);
  // The window grows with its texts and the map's legend, never below 420 pixels.
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  auto* frame = new QFrame(this);
  frame_ = frame;
  frame->setFrameShape(QFrame::StyledPanel);
  auto* inner = new QVBoxLayout(frame);
  for (int i = 0; i < 4; ++i) {
    lines_[i] = new QLabel(frame);
    lines_[i]->setTextFormat(Qt::PlainText);
    inner->addWidget(lines_[i]);
  }
  lines_[0]->setWordWrap(true);
  lines_[0]->setMinimumHeight(2 * lines_[0]->fontMetrics().height());
  bar_ = new QProgressBar(frame);
  bar_->setRange(0, 100);
  inner->addWidget(bar_);
  remaining_ = new QLabel(frame);
  inner->addWidget(remaining_);
  map_ = new TMapBar(frame);
  map_->hide();
  inner->addWidget(map_);
  frame->setMinimumWidth(400);
  layout->addWidget(frame);
  auto* cancel = Tagged(new QPushButton(Text(txt::StatusCancel), this), txt::StatusCancel);
  cancel->setAutoDefault(false);
  connect(cancel, &QPushButton::clicked, this, &TStatusWindow::reject);
  layout->addWidget(cancel, 0, Qt::AlignHCenter);
}

void TStatusWindow::ShowTexts(const std::string& caption, const std::string lines[4]) {
  setWindowTitle(QString::fromStdString(caption));
  for (int i = 0; i < 4; ++i) lines_[i]->setText(QString::fromStdString(lines[i]));
  Fit();
}

// The minimum width is set, so the layout does not widen the window for longer texts or the map's
// legend by itself.
void TStatusWindow::Fit() {
  // Hidden, the layouts keep their old hints until told.
  frame_->layout()->invalidate();
  frame_->updateGeometry();
  layout()->invalidate();
  layout()->activate();
  const QSize hint = sizeHint();
  if (hint.width() > width() || hint.height() > height()) resize(hint.expandedTo(size()));
}

void TStatusWindow::ShowBar(bool visible, int percent) {
  bar_->setVisible(visible);
  bar_->setValue(percent);
}

void TStatusWindow::ShowRemaining(const std::string& text) { remaining_->setText(QString::fromStdString(text)); }

void TStatusWindow::SetVisible(bool visible) {
  if (visible) {
    show();
    raise();
  } else {
    hide();
  }
  QApplication::processEvents();
}

void TStatusWindow::ShowMap(const TRescueMap& map) {
  map_->SetMap(map);
  if (map_->isHidden()) {
    map_->show();
    Fit();
  }
}

void TStatusWindow::ClearMap() {
  map_->Clear();
  map_->hide();
}

void TStatusWindow::reject() {
  if (logic_) logic_->Cancel();
}

void TStatusWindow::closeEvent(QCloseEvent* event) {
  reject();
  event->ignore();
}

}  // namespace salvex::ui
