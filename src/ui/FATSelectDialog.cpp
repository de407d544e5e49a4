#include "ui/FATSelectDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "devices/Model.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

TFATSelectDialog::TFATSelectDialog(QWidget* parent) : QDialog(parent) {
  Tagged(this, txt::FatSelectTitle);
  setWindowTitle(Text(txt::FatSelectTitle));
  auto* note = Tagged(new QLabel(Text(txt::FatSelectNoFatNote), this), txt::FatSelectNoFatNote);
  note->setWordWrap(true);
  note->setStyleSheet("QLabel { background: #1f4e79; color: white; font-weight: bold; padding: 8px; }");
  auto* label = Tagged(new QLabel(Text(txt::FatSelectSource), this), txt::FatSelectSource);
  label->setWordWrap(true);
  combo_ = new QComboBox(this);
  Tagged(combo_, 0, txt::FatSelectChoiceHint);
  auto* buttons = new QDialogButtonBox(this);
  Tagged(buttons->addButton(Text(txt::FatSelectOk), QDialogButtonBox::AcceptRole), txt::FatSelectOk)->setDefault(true);
  Tagged(buttons->addButton(Text(txt::FatSelectCancel), QDialogButtonBox::RejectRole), txt::FatSelectCancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(note);
  layout->addWidget(label);
  layout->addWidget(combo_);
  layout->addWidget(buttons);
}

bool TFATSelectDialog::Execute(const TCustomDrive& drive, bool deletedView) {
  Prepare(drive, deletedView);
  if (exec() != QDialog::Accepted) return false;
  itemIndex_ = combo_->currentIndex();
  return true;
}

void TFATSelectDialog::Prepare(const TCustomDrive& drive, bool deletedView) {
  TranslateComponent(this);
  combo_->clear();
  combo_->addItem(Text(txt::NoFatConsecutive));
  for (uint32_t k = 1; k <= drive.ChoosableFATs().value_or(0); ++k) combo_->addItem(QString("FAT %1").arg(k));
  combo_->setCurrentIndex(deletedView ? 0 : std::min<int>(drive.FATChoice(), combo_->count() - 1));
}

}  // namespace salvex::ui
