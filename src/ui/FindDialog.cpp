#include "ui/FindDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

TFindDlg::TFindDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text(txt::FindTitle));
  setModal(false);
  name_ = new QLineEdit(this);
  auto* tip = new QLabel(Text(txt::FindMaskTip), this);
  tip->setWordWrap(true);
  scanning_ = new QLabel(this);
  scanning_->setMinimumWidth(260);
  count_ = new QLabel(this);
  hits_ = new QListWidget(this);
  start_ = new QPushButton(Text(txt::FindStart), this);
  cancel_ = new QPushButton(Text(txt::FindCancel), this);
  start_->setDefault(true);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Text(txt::FindName), this), 0, 0);
  grid->addWidget(name_, 0, 1);
  grid->addWidget(new QLabel(Text(txt::FindTip), this), 1, 0, Qt::AlignTop);
  grid->addWidget(tip, 1, 1);
  grid->addWidget(new QLabel(Text(txt::FindScanning), this), 2, 0);
  grid->addWidget(scanning_, 2, 1);
  grid->addWidget(new QLabel(Text(txt::FindHits), this), 3, 0);
  grid->addWidget(count_, 3, 1);
  grid->addWidget(new QLabel(Text(txt::FindFound), this), 4, 0, Qt::AlignTop);
  grid->addWidget(hits_, 4, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(start_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  // Five hit lines tall; the list scrolls to keep the newest visible.
  hits_->setFixedHeight(hits_->fontMetrics().height() * 5 + 2 * hits_->frameWidth() + 4);
  setFixedSize(sizeHint().expandedTo(QSize(420, 0)));

  connect(start_, &QPushButton::clicked, this, &TFindDlg::Start);
  connect(cancel_, &QPushButton::clicked, this, &TFindDlg::CancelPressed);
}

bool TFindDlg::Run() {
  started_ = cancelled_ = false;
  start_->setEnabled(true);
  name_->setEnabled(true);
  scanning_->clear();
  count_->clear();
  hits_->clear();
  show();
  raise();
  activateWindow();
  name_->setFocus();
  name_->selectAll();
  waiting_ = true;
  while (!started_ && !cancelled_ && isVisible())
    QApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 50);
  waiting_ = false;
  if (!started_) {
    cancelled_ = true;
    hide();
  }
  return started_;
}

void TFindDlg::Start() {
  name_->setEnabled(false);
  start_->setEnabled(false);
  cancel_->setFocus();
  mask_ = PrepareFindMask(name_->text().toStdString());
  started_ = true;
}

void TFindDlg::CancelPressed() {
  cancelled_ = true;
  // Before Start the dialog goes away at once; during a search the search hides it.
  if (!started_) hide();
}

void TFindDlg::reject() { CancelPressed(); }

void TFindDlg::closeEvent(QCloseEvent* event) {
  CancelPressed();
  event->accept();
}

void TFindDlg::AddHit(const std::string& name) {
  hits_->addItem(QString::fromStdString(name));
  hits_->scrollToBottom();
  count_->setText(QString::number(hits_->count()));
}

void TFindDlg::SetScanningText(const std::string& text) { scanning_->setText(QString::fromStdString(text)); }

}  // namespace salvex::ui
