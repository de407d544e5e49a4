#include "ui/PreviewDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"
#include "ui/Icons.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

// Boot-sector bytes as text, cut at the first zero byte.
QString BootText(const uint8_t* bytes, size_t count) {
  size_t n = 0;
  while (n < count && bytes[n] != 0) ++n;
  return QString::fromLatin1(reinterpret_cast<const char*>(bytes), qsizetype(n));
}

}  // namespace

TPreviewDrvDialog::TPreviewDrvDialog(QWidget* parent) : QDialog(parent) {
  Tagged(this, 600);
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
  fatLabel_ = Tagged(new QLabel(this), 604);
  auto* form = new QFormLayout;
  form->addRow(Tagged(new QLabel(this), 601), physSec_);
  form->addRow(Tagged(new QLabel(this), 602), totalSec_);
  form->addRow(Tagged(new QLabel(this), 603), secPerClus_);
  form->addRow(fatLabel_, fatType_);
  form->addRow(Tagged(new QLabel(this), 605), oem_);
  form->addRow(Tagged(new QLabel(this), 606), label_);
  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setColumnCount(3);
  list_->setProperty(kColumnTags, QVariantList{608, 609, 610});
  list_->setColumnWidth(0, 180);
  auto* buttons = new QDialogButtonBox(this);
  Tagged(buttons->addButton(QString(), QDialogButtonBox::AcceptRole), 611);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(Tagged(new QLabel(this), 607));
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  TranslateComponent(this);
}

void TPreviewDrvDialog::Fill(TCustomDrive& drive) {
  TranslateComponent(this);
  list_->clear();
  physSec_->setText(QString::number(drive.FirstSector));
  auto addRow = [this](TItem& item) {
    TListItem row;
    QString size, stamp;
    bool folder = false;
    if (auto* d = dynamic_cast<TCustomDirectory*>(&item)) {
      d->FillListItem(row);
      folder = true;
      if (auto* fd = dynamic_cast<TFATDirectory*>(d)) stamp = QString::fromStdString(DosDateTimeText(fd->Date, fd->Time));
      if (auto* nd = dynamic_cast<TNTFSDirectory*>(d)) stamp = QString::fromStdString(DosDateTimeText(nd->Date, nd->Time));
      if (auto* ed = dynamic_cast<TExFATDirectory*>(d))
        stamp = QString::fromStdString(DosDateTimeText(ed->Modified.Date(), ed->Modified.Time()));
    } else if (auto* f = dynamic_cast<TCustomFile*>(&item)) {
      f->FillListItem(row);
      size = QString::number(f->Size);
      if (auto* ff = dynamic_cast<TFATFile*>(f)) stamp = QString::fromStdString(DosDateTimeText(ff->Date, ff->Time));
      if (auto* nf = dynamic_cast<TNTFSFile*>(f)) stamp = QString::fromStdString(DosDateTimeText(nf->Date, nf->Time));
      if (auto* ef = dynamic_cast<TExFATFile*>(f))
        stamp = QString::fromStdString(DosDateTimeText(ef->Modified.Date(), ef->Modified.Time()));
    }
    auto* entry = new QTreeWidgetItem(QStringList{QString::fromStdString(row.Caption), size, stamp});
    entry->setIcon(0, ImageIcon(folder ? 0 : 5));
    entry->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    list_->addTopLevelItem(entry);
    return true;
  };
  if (auto* fat = dynamic_cast<TFATdrive*>(&drive)) {
    static const char* kTypes[] = {"none", "FAT12", "FAT16", "FAT32"};
    totalSec_->setText(QString::number(fat->TotalSectors));
    secPerClus_->setText(QString::number(fat->BootRecord[0x0D]));
    oem_->setText(BootText(fat->BootRecord.data() + 3, 8));
    label_->setText(BootText(fat->BootRecord.data() + (fat->FATType == FAT32 ? 0x47 : 0x2B), 11));
    fatLabel_->setEnabled(true);
    fatType_->setText(fat->FATType <= 3 ? kTypes[fat->FATType] : "");
    if (TFATDirectory* root = fat->Root()) root->Search(addRow, false, false, false);
  } else if (auto* ntfs = dynamic_cast<TNTFSdrive*>(&drive)) {
    totalSec_->setText(QString::number(ntfs->VolumeSectors));
    secPerClus_->setText(QString::number(ntfs->SectorsPerCluster));
    oem_->setText(ntfs->BootSectorBytes.size() >= 11 ? BootText(ntfs->BootSectorBytes.data() + 3, 8) : QString());
    label_->setText(QString::fromStdString(drive.Name));
    fatLabel_->setEnabled(false);
    fatType_->clear();
    if (auto* root = dynamic_cast<TNTFSDirectory*>(drive.RootFolder.get())) root->Search(addRow, false);
  } else if (auto* exfat = dynamic_cast<TExFATdrive*>(&drive)) {
    totalSec_->setText(QString::number(exfat->VolumeSectors));
    secPerClus_->setText(QString::number(1u << exfat->Boot.SectorsPerClusterShift));
    // exFAT's boot sector always names itself so; there is no other OEM name.
    oem_->setText("EXFAT");
    label_->setText(QString::fromStdString(drive.Name));
    fatLabel_->setEnabled(true);
    fatType_->setText("exFAT");
    if (TExFATDirectory* root = exfat->Root()) root->Search(addRow, false, false, false);
  }
}

void TPreviewDrvDialog::Execute(TCustomDrive& drive) {
  Fill(drive);
  exec();
}

}  // namespace salvex::ui
