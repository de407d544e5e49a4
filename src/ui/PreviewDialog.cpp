#include "ui/PreviewDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "devices/Model.h"
#include "salvex/StringIds.h"
#include "ui/Icons.h"
#include "ui/Translate.h"

namespace salvex::ui {

TPreviewDialog::TPreviewDialog(QWidget* parent) : QDialog(parent) {
  Tagged(this, txt::PreviewTitle);
  resize(460, 440);
  auto field = [this] {
    auto* edit = new QLineEdit(this);
    edit->setReadOnly(true);
    return edit;
  };
  physSec_ = field();
  totalSec_ = field();
  secPerClus_ = field();
  fatType_ = field();
  oem_ = field();
  label_ = field();
  fatLabel_ = Tagged(new QLabel(this), txt::PreviewFatType);
  auto* form = new QFormLayout;
  form->addRow(Tagged(new QLabel(this), txt::PreviewPhysicalSector), physSec_);
  form->addRow(Tagged(new QLabel(this), txt::PreviewTotalSectors), totalSec_);
  form->addRow(Tagged(new QLabel(this), txt::PreviewSectorsPerCluster), secPerClus_);
  form->addRow(fatLabel_, fatType_);
  form->addRow(Tagged(new QLabel(this), txt::PreviewOemName), oem_);
  form->addRow(Tagged(new QLabel(this), txt::PreviewVolumeLabel), label_);
  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setColumnCount(3);
  list_->setProperty(kColumnTags,
                     QVariantList{txt::PreviewColumnName, txt::PreviewColumnSize, txt::PreviewColumnModified});
  list_->setColumnWidth(0, 180);
  auto* buttons = new QDialogButtonBox(this);
  Tagged(buttons->addButton(QString(), QDialogButtonBox::AcceptRole), txt::PreviewOk);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(Tagged(new QLabel(this), txt::PreviewRootFolder));
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  TranslateComponent(this);
}

void TPreviewDialog::Fill(TCustomDrive& drive) {
  TranslateComponent(this);
  list_->clear();
  physSec_->setText(QString::number(drive.FirstSector));
  const TPreviewFields preview = drive.Preview();
  if (!preview.Known) return;
  totalSec_->setText(QString::number(preview.TotalSectors));
  secPerClus_->setText(QString::number(preview.SectorsPerCluster));
  oem_->setText(QString::fromStdString(preview.Oem));
  label_->setText(QString::fromStdString(preview.Label));
  fatLabel_->setEnabled(preview.HasFATType);
  fatType_->setText(QString::fromStdString(preview.FATType));
  for (const TPreviewFields::TEntry& e : preview.RootEntries) {
    auto* entry = new QTreeWidgetItem(QStringList{QString::fromStdString(e.Name),
                                                  e.Folder ? QString() : QString::number(e.Size),
                                                  QString::fromStdString(e.Modified)});
    entry->setIcon(0, ImageIcon(e.Folder ? 0 : 5));
    entry->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    list_->addTopLevelItem(entry);
  }
}

void TPreviewDialog::Execute(TCustomDrive& drive) {
  Fill(drive);
  exec();
}

}  // namespace salvex::ui
