#include "ui/LanguageDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include "common/StringTable.h"

namespace salvex::ui {

TLanguageDialog::TLanguageDialog(QWidget* parent) : QDialog(parent) {
  // Shown before any language is chosen, so its own texts are fixed.
  setWindowTitle("Salvex - Language");
  list_ = new QListWidget(this);
  for (const auto& language : Languages())
    list_->addItem(language.Name == "simplified" ? QString("Chinese (simplified)") : QString::fromStdString(language.Name));
  list_->setMinimumHeight(int(Languages().size()) * 18 + 8);
  connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { Choose(list_->row(item)); });
  connect(list_, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Please choose your language:", this));
  layout->addWidget(list_);
  layout->addWidget(buttons);
}

void TLanguageDialog::Choose(int position) {
  if (position < 0 || size_t(position) >= Languages().size()) return;
  base_ = Languages()[size_t(position)].Base;
  list_->setCurrentRow(position);
}

bool TLanguageDialog::Execute() {
  base_ = 1000;
  for (size_t i = 0; i < Languages().size(); ++i)
    if (Languages()[i].Name == "English") list_->setCurrentRow(int(i));
  return exec() == QDialog::Accepted;
}

}  // namespace salvex::ui
