#include "ui/RangeDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <algorithm>

#include "common/Format.h"
#include "ui/Translate.h"

namespace salvex::ui {

TRangeDialog::TRangeDialog(QWidget* parent, bool clusters) : QDialog(parent), clusters_(clusters) {
  setWindowTitle(Text(clusters ? 410 : 400));
  first_ = new QLineEdit(this);
  last_ = new QLineEdit(this);
  auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{1,20}"), this);
  first_->setValidator(digits);
  last_->setValidator(digits);
  auto* form = new QFormLayout(this);
  form->addRow(Text(clusters ? 411 : 401), first_);
  form->addRow(new QLabel(this), last_);
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(clusters ? 414 : 404), QDialogButtonBox::AcceptRole);
  buttons->addButton(Text(clusters ? 416 : 406), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  form->addRow(buttons);
}

bool TRangeDialog::Execute(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) {
  Prepare(first, last, maximum);
  if (exec() != QDialog::Accepted) return false;
  // Typed values are clamped to the disk or volume, and taken in order.
  auto clamp = [&](const QString& text, uint64_t fallback) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok);
    return std::clamp<uint64_t>(ok ? v : fallback, minimum, maximum);
  };
  first = clamp(first_->text(), minimum);
  last = clamp(last_->text(), maximum);
  if (first > last) std::swap(first, last);
  return true;
}

void TRangeDialog::Prepare(uint64_t first, uint64_t last, uint64_t maximum) {
  auto* form = static_cast<QFormLayout*>(layout());
  if (auto* label = qobject_cast<QLabel*>(form->labelForField(last_)))
    label->setText(QString::fromStdString(TextF(clusters_ ? 412 : 402, {maximum})));
  first_->setText(QString::number(first));
  last_->setText(QString::number(last));
}

}  // namespace salvex::ui
