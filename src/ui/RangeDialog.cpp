#include "ui/RangeDialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "common/Format.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

TRangeDialog::TRangeDialog(QWidget* parent, bool clusters, uint64_t unitBytes)
    : QDialog(parent), clusters_(clusters), unit_(unitBytes) {
  setWindowTitle(Text(clusters ? txt::ClusterRangeTitle : txt::SectorRangeTitle));
  auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{1,20}"), this);
  auto group = [&](QGroupBox*& box, QSlider*& bar, QLineEdit*& field) {
    box = new QGroupBox(this);
    bar = new QSlider(Qt::Horizontal, box);
    bar->setRange(0, kSteps);
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setTickInterval(5);
    bar->setMinimumWidth(260);
    field = new QLineEdit(box);
    field->setValidator(digits);
    field->setMaximumWidth(150);
    auto* row = new QHBoxLayout(box);
    row->addWidget(bar, 1);
    row->addWidget(field);
  };
  group(startBox_, startBar_, first_);
  group(endBox_, endBar_, last_);
  endBar_->setValue(kSteps);
  size_ = new QLabel(this);
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(new QLabel(Text(clusters ? txt::ClusterRangeSize : txt::SectorRangeSize), this));
  sizeRow->addWidget(size_, 1);
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(clusters ? txt::ClusterRangeOk : txt::SectorRangeOk), QDialogButtonBox::AcceptRole)
      ->setDefault(true);
  auto* apply =
      buttons->addButton(Text(clusters ? txt::ClusterRangeApply : txt::SectorRangeApply), QDialogButtonBox::ApplyRole);
  buttons->addButton(Text(clusters ? txt::ClusterRangeCancel : txt::SectorRangeCancel), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(apply, &QPushButton::clicked, this, &TRangeDialog::UpdateSize);
  connect(startBar_, &QSlider::sliderMoved, this, &TRangeDialog::StartMoved);
  connect(endBar_, &QSlider::sliderMoved, this, &TRangeDialog::EndMoved);
  connect(startBar_, &QSlider::actionTriggered, this, [this] { StartMoved(startBar_->sliderPosition()); });
  connect(endBar_, &QSlider::actionTriggered, this, [this] { EndMoved(endBar_->sliderPosition()); });
  connect(first_, &QLineEdit::textEdited, this, &TRangeDialog::UpdateSize);
  connect(last_, &QLineEdit::textEdited, this, &TRangeDialog::UpdateSize);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(startBox_);
  layout->addWidget(endBox_);
  layout->addLayout(sizeRow);
  layout->addWidget(buttons);
}

QString TRangeDialog::SizeText(uint64_t count, uint64_t unitBytes) {
  const double mb = double(count) / 1024.0 * double(unitBytes) / 1024.0;
  if (mb >= 1000) return QLocale().toString(mb / 1024.0, 'f', 2) + " GB";
  return QLocale().toString(mb, 'f', 2) + " MB";
}

QString TRangeDialog::ClusterSizeText(uint64_t count, uint64_t unitBytes) {
  return QLocale().toString(qulonglong(std::nearbyint(double(count) / 1024.0 * double(unitBytes) / 1024.0))) + " MB";
}

// Positions map linearly onto the range, rounded half to even. Cluster bars map onto all but two
// of the clusters, the end bar one cluster further: at the right end the start bar gives the
// last cluster but one and the end bar the last one.
uint64_t TRangeDialog::AtPosition(int position, bool end) const {
  const double fraction = double(position) / kSteps;
  if (!clusters_) return std::min(maximum_, minimum_ + uint64_t(std::nearbyint(fraction * double(maximum_ - minimum_))));
  const uint64_t count = maximum_ - minimum_ + 1;
  const uint64_t span = count > 2 ? count - 2 : 0;
  return std::min(maximum_, minimum_ + uint64_t(std::nearbyint(fraction * double(span))) + (end ? 1 : 0));
}

int TRangeDialog::PositionOf(uint64_t value) const {
  if (maximum_ <= minimum_) return 0;
  const double at = double(std::clamp(value, minimum_, maximum_) - minimum_) / double(maximum_ - minimum_ + 1);
  return int(std::nearbyint(at * kSteps));
}

void TRangeDialog::StartMoved(int position) {
  // The start may not pass the end: such a move changes nothing.
  if (position > endBar_->value()) {
    startBar_->setSliderPosition(startBar_->value());
    return;
  }
  first_->setText(QString::number(AtPosition(position, false)));
  UpdateSize();
}

void TRangeDialog::EndMoved(int position) {
  if (position < startBar_->value()) {
    endBar_->setSliderPosition(endBar_->value());
    return;
  }
  last_->setText(QString::number(AtPosition(position, true)));
  UpdateSize();
}

void TRangeDialog::UpdateSize() {
  bool okFirst = false, okLast = false;
  const qulonglong first = first_->text().toULongLong(&okFirst);
  const qulonglong last = last_->text().toULongLong(&okLast);
  if (!okFirst || !okLast) return;
  const uint64_t count = last >= first ? last - first + 1 : 0;
  size_->setText(clusters_ ? ClusterSizeText(count, unit_) : SizeText(count, unit_));
}

void TRangeDialog::Prepare(uint64_t first, uint64_t last, uint64_t minimum, uint64_t maximum) {
  minimum_ = minimum;
  maximum_ = std::max(minimum, maximum);
  startBox_->setTitle(Text(clusters_ ? txt::ClusterRangeStart : txt::SectorRangeStart));
  endBox_->setTitle(QString::fromStdString(TextF(clusters_ ? txt::ClusterRangeEnd : txt::SectorRangeEnd, {maximum_})));
  size_->clear();
  if (clusters_) {
    // The cluster dialog keeps its bars from its last use (the whole volume at first) and shows
    // what they cover on this volume; the caller's range is not shown.
    first_->setText(QString::number(AtPosition(startBar_->value(), false)));
    last_->setText(QString::number(AtPosition(endBar_->value(), true)));
  } else {
    startBar_->setValue(PositionOf(first));
    endBar_->setValue(PositionOf(last));
    first_->setText(QString::number(first));
    last_->setText(QString::number(last));
  }
  UpdateSize();
}

bool TRangeDialog::Execute(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) {
  Prepare(first, last, minimum, maximum);
  if (exec() != QDialog::Accepted) return false;
  // Typed values go back unchecked; the searches keep them inside the disk or volume. A field that
  // holds no number leaves its value; for clusters it also cancels, and a bad start leaves the
  // end unread.
  bool ok = false;
  const qulonglong typedFirst = first_->text().toULongLong(&ok);
  if (ok) first = typedFirst;
  if (!ok && clusters_) return false;
  const qulonglong typedLast = last_->text().toULongLong(&ok);
  if (ok) last = typedLast;
  return ok || !clusters_;
}

void TRangeDialog::SetUnitBytes(uint64_t unitBytes) { unit_ = unitBytes; }

}  // namespace salvex::ui
