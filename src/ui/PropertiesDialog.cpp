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
#include "exfat/ExFATFile.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/MFTFile.h"
#include "ntfs/NTFSFile.h"
#include "ui/Translate.h"

namespace salvex::ui {

TItemPropertiesDialog::TItemPropertiesDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text(430));
  name_ = new QLineEdit(this);
  cluster_ = new QLineEdit(this);
  size_ = new QLineEdit(this);
  name_->setMinimumWidth(280);
  auto* form = new QFormLayout;
  form->addRow(Text(431), name_);
  form->addRow(Text(432), cluster_);
  form->addRow(Text(433), size_);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  facts_ = new QFormLayout;
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(434), QDialogButtonBox::AcceptRole)->setDefault(true);
  buttons->addButton(Text(435), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(line);
  layout->addLayout(facts_);
  layout->addWidget(buttons);
}

void TItemPropertiesDialog::Prepare() {
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

void TItemPropertiesDialog::Accept() {
  Name = name_->text();
  bool ok = false;
  const qulonglong cluster = cluster_->text().trimmed().toULongLong(&ok);
  if (ok && ClusterEnabled) Cluster = uint32_t(cluster);
  const qulonglong size = size_->text().trimmed().toULongLong(&ok);
  if (ok) Size = size;
}

bool TItemPropertiesDialog::Run() {
  Prepare();
  if (exec() != QDialog::Accepted) return false;
  Accept();
  return true;
}

bool ReadItemFields(const TItem& item, TItemFields& f) {
  f.ClusterEnabled = true;
  if (auto* file = dynamic_cast<const TCustomFile*>(&item)) {
    f.Name = QString::fromStdString(DisplayName(file->Name));
    f.Size = file->Size;
  } else if (auto* dir = dynamic_cast<const TCustomDirectory*>(&item)) {
    f.Name = QString::fromStdString(DisplayName(dir->Name));
    f.Size = 0;
  }
  if (auto* x = dynamic_cast<const TFATFile*>(&item)) {
    f.Cluster = x->FirstCluster;
  } else if (auto* d = dynamic_cast<const TFATDirectory*>(&item)) {
    f.Cluster = d->FirstCluster;
  } else if (auto* m = dynamic_cast<const TMFTFile*>(&item)) {
    f.Cluster = m->FirstCluster;
  } else if (auto* r = dynamic_cast<const TNTFSMFTFile*>(&item)) {
    f.Cluster = uint32_t(r->Cluster);
  } else if (auto* n = dynamic_cast<const TNTFSFile*>(&item)) {
    f.ClusterEnabled = n->MFTNumber <= 0;
    f.Cluster = f.ClusterEnabled ? uint32_t(uint64_t(n->StartCluster)) : 0;
  } else if (auto* e = dynamic_cast<const TExFATFile*>(&item)) {
    f.Cluster = e->FirstCluster;
  } else if (dynamic_cast<const TExtFile*>(&item) || dynamic_cast<const TExtDirectory*>(&item)) {
    // An ext item's data is found through its inode, not from a first cluster.
    f.ClusterEnabled = false;
    f.Cluster = 0;
  } else {
    return false;
  }
  return true;
}

std::vector<std::pair<QString, QString>> ItemFacts(const TItem& item) {
  std::vector<std::pair<QString, QString>> facts;
  if (auto* file = dynamic_cast<const TCustomFile*>(&item); file && file->SizeOrigin != TSizeOrigin::Entry)
    facts.emplace_back(Text(839), Text(file->SizeOrigin == TSizeOrigin::FormatEnd ? 840 : 841));
  const TExtNode* node = nullptr;
  if (auto* file = dynamic_cast<const TExtFile*>(&item)) node = &file->Node;
  if (auto* dir = dynamic_cast<const TExtDirectory*>(&item)) node = &dir->Node;
  if (node && !node->Problem.empty()) facts.emplace_back(TextWith(854, {Text(819)}), QString::fromStdString(node->Problem));
  if (node && node->FromJournal)
    facts.emplace_back(TextWith(854, {Text(905)}), TextWith(904, {QLocale().toString(qulonglong(node->JournalSequence))}));
  return facts;
}

void WriteItemFields(TItem& item, const TItemFields& f) {
  const std::string name = f.Name.toStdString();
  if (auto* file = dynamic_cast<TCustomFile*>(&item)) {
    file->Name = name;
    file->Size = f.Size;
  } else if (auto* dir = dynamic_cast<TCustomDirectory*>(&item)) {
    dir->Name = name;
  }
  if (auto* x = dynamic_cast<TFATFile*>(&item)) {
    x->FirstCluster = f.Cluster;
  } else if (auto* d = dynamic_cast<TFATDirectory*>(&item)) {
    d->FirstCluster = f.Cluster;
  } else if (auto* m = dynamic_cast<TMFTFile*>(&item)) {
    m->FirstCluster = f.Cluster;
  } else if (auto* r = dynamic_cast<TNTFSMFTFile*>(&item)) {
    r->Cluster = f.Cluster;
  } else if (auto* n = dynamic_cast<TNTFSFile*>(&item)) {
    if (n->MFTNumber <= 0) n->StartCluster = int64_t(f.Cluster);
  } else if (auto* e = dynamic_cast<TExFATFile*>(&item)) {
    e->FirstCluster = f.Cluster;
  }
}

}  // namespace salvex::ui
