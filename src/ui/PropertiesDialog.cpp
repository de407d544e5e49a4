#include "ui/PropertiesDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Options.h"
#include "devices/Model.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

TPropertiesDialog::TPropertiesDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text(txt::PropertiesTitle));
  name_ = new QLineEdit(this);
  cluster_ = new QLineEdit(this);
  size_ = new QLineEdit(this);
  name_->setMinimumWidth(280);
  auto* form = new QFormLayout;
  form->addRow(Text(txt::PropertiesName), name_);
  form->addRow(Text(txt::PropertiesCluster), cluster_);
  form->addRow(Text(txt::PropertiesSize), size_);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  facts_ = new QFormLayout;
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(txt::PropertiesOk), QDialogButtonBox::AcceptRole)->setDefault(true);
  buttons->addButton(Text(txt::PropertiesCancel), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(line);
  layout->addLayout(facts_);
  layout->addWidget(buttons);
}

void TPropertiesDialog::Prepare() {
  name_->setText(Name);
  cluster_->setText(QString::number(Cluster));
  size_->setText(QString::number(Size));
  cluster_->setEnabled(ClusterEnabled);
  while (facts_->rowCount() > 0) facts_->removeRow(0);
  for (const auto& [label, value] : Facts) {
    auto* text = new QLabel(value, this);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    facts_->addRow(label, text);
  }
}

void TPropertiesDialog::Accept() {
  Name = name_->text();
  bool ok = false;
  const qulonglong cluster = cluster_->text().trimmed().toULongLong(&ok);
  if (ok && ClusterEnabled) Cluster = uint32_t(cluster);
  const qulonglong size = size_->text().trimmed().toULongLong(&ok);
  if (ok) Size = size;
}

bool TPropertiesDialog::Run() {
  Prepare();
  if (exec() != QDialog::Accepted) return false;
  Accept();
  return true;
}

bool ReadItemFields(const TItem& item, TItemFields& f) {
  const std::optional<TClusterField> cluster = item.ClusterField();
  if (!cluster) return false;
  if (auto* file = item.AsFile()) {
    f.Name = QString::fromStdString(DisplayName(file->Name));
    f.Size = file->Size;
  } else if (auto* dir = item.AsFolder()) {
    f.Name = QString::fromStdString(DisplayName(dir->Name));
    f.Size = 0;
  }
  f.ClusterEnabled = cluster->Editable;
  f.Cluster = cluster->Cluster;
  return true;
}

std::vector<std::pair<QString, QString>> ItemFacts(const TItem& item) {
  std::vector<std::pair<QString, QString>> facts;
  if (auto* file = item.AsFile(); file && file->SizeOrigin != TSizeOrigin::Entry)
    facts.emplace_back(
        Text(txt::PropertiesSizeFrom),
        Text(file->SizeOrigin == TSizeOrigin::FormatEnd ? txt::SizeFromFormatEnd : txt::SizeFromLostDefault));
  const TItemHistory history = item.History();
  if (!history.Problem.empty())
    facts.emplace_back(TextWith(txt::Label, {Text(txt::SaveSummaryReason)}), QString::fromStdString(history.Problem));
  if (history.JournalSequence)
    facts.emplace_back(TextWith(txt::Label, {Text(txt::PropertiesSource)}),
                       TextWith(txt::SourceJournalCopy, {QLocale().toString(qulonglong(*history.JournalSequence))}));
  return facts;
}

void WriteItemFields(TItem& item, const TItemFields& f) {
  const std::string name = f.Name.toStdString();
  if (auto* file = item.AsFile()) {
    file->Name = name;
    file->Size = f.Size;
  } else if (auto* dir = item.AsFolder()) {
    dir->Name = name;
  }
  item.SetClusterField(f.Cluster);
}

}  // namespace salvex::ui
