#include "ui/DriveDialog.h"

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLocale>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/LostDrives.h"
#include "devices/StatusDialog.h"
#include "disk/DeviceRegistry.h"
#include "salvex/StringIds.h"
#include "ui/Icons.h"
#include "ui/ImageMaps.h"
#include "ui/PreviewDialog.h"
#include "ui/RangeDialog.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

int DeviceImage(uint8_t driveType) {
  switch (driveType) {
    case DriveFloppy:
    case DriveRemovable: return 0;
    case DriveRemote: return 3;
    case DriveCDROM: return 2;
    default: return 1;
  }
}

}  // namespace

TDriveDlg::TDriveDlg(QWidget* parent, TDeviceList& devices, TDriveList& drives, TStatusDialog& status)
    : QDialog(parent), devices_(devices), drives_(drives), status_(status) {
  Tagged(this, txt::DriveDialogTitle);
  resize(560, 380);
  auto* notice = Tagged(new QLabel(this), txt::DriveNotice);
  notice->setWordWrap(true);
  notice->setStyleSheet("QLabel { background: #1f4e79; color: white; font-weight: bold; padding: 10px; }");

  pages_ = new QTabWidget(this);
  logicalPage_ = Tagged(new QWidget, txt::DriveTabLogical);
  physicalPage_ = Tagged(new QWidget, txt::DriveTabPhysical);
  logical_ = new QListWidget(logicalPage_);
  physical_ = new QListWidget(physicalPage_);
  (new QVBoxLayout(logicalPage_))->addWidget(logical_);
  (new QVBoxLayout(physicalPage_))->addWidget(physical_);
  pages_->addTab(logicalPage_, QString());
  pages_->addTab(physicalPage_, QString());

  previewButton_ = Tagged(new QPushButton(this), txt::DrivePreview);
  findButton_ = Tagged(new QPushButton(this), txt::DriveFindLogical);
  auto* rescan = rescanButton_ = Tagged(new QPushButton(this), txt::DriveRescan);
  auto* addImage = Tagged(new QPushButton(this), txt::DriveAddImage);
  okButton_ = Tagged(new QPushButton(this), txt::DriveOk);
  okButton_->setDefault(true);
  auto* cancel = cancelButton_ = Tagged(new QPushButton(this), txt::DriveCancel);
  fatLabel_ = Tagged(new QLabel(this), txt::DriveUseFat);
  fat_ = new QComboBox(this);
  skip_ = Tagged(new QCheckBox(this), txt::DriveSkipBadClusters);
  skip_->setChecked(true);

  auto* side = new QVBoxLayout;
  side->addWidget(previewButton_);
  side->addWidget(findButton_);
  side->addWidget(rescan);
  side->addWidget(addImage);
  side->addSpacing(12);
  side->addWidget(fatLabel_);
  side->addWidget(fat_);
  side->addWidget(skip_);
  side->addStretch();
  side->addWidget(okButton_);
  side->addWidget(cancel);
  auto* body = new QHBoxLayout;
  body->addWidget(pages_, 1);
  body->addLayout(side);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(notice);
  layout->addLayout(body);
  TranslateComponent(this);

  connect(pages_, &QTabWidget::currentChanged, this, &TDriveDlg::UpdateButtons);
  connect(logical_, &QListWidget::currentRowChanged, this, &TDriveDlg::UpdateButtons);
  connect(physical_, &QListWidget::currentRowChanged, this, &TDriveDlg::UpdateButtons);
  connect(logical_, &QListWidget::itemDoubleClicked, this, &TDriveDlg::OkClicked);
  connect(fat_, &QComboBox::currentIndexChanged, this, [this](int index) {
    // A new FAT choice goes into the volume at once.
    if (TCustomDrive* drive = SelectedDrive(); drive && drive->ChoosableFATs() && !filling_ && index >= 0)
      drive->SetFATChoice(index);
  });
  connect(previewButton_, &QPushButton::clicked, this, &TDriveDlg::PreviewClicked);
  connect(findButton_, &QPushButton::clicked, this, &TDriveDlg::FindClicked);
  connect(rescan, &QPushButton::clicked, this, &TDriveDlg::RescanClicked);
  connect(addImage, &QPushButton::clicked, this, &TDriveDlg::AddImageClicked);
  connect(okButton_, &QPushButton::clicked, this, &TDriveDlg::OkClicked);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TDriveDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FillLists();
}

bool TDriveDlg::Execute() {
  TranslateComponent(this);
  return exec() == QDialog::Accepted;
}

void TDriveDlg::ShowPhysicalPage() { pages_->setCurrentWidget(physicalPage_); }

void TDriveDlg::FillDeviceList(QListWidget* list, TDeviceList& devices) {
  list->clear();
  for (size_t i = 0; i < devices.Count(); ++i) {
    const TDevice* d = devices.Items(i);
    list->addItem(new QListWidgetItem(DeviceIcon(DeviceImage(d->DriveType)), QString::fromStdString(d->Name)));
  }
}

void TDriveDlg::FillDriveList(QListWidget* list, TDeviceList& devices, TDriveList& drives) {
  list->clear();
  for (size_t i = 0; i < drives.Count(); ++i) {
    const TCustomDrive* v = drives.Items(i);
    const int device = devices.IndexOf(v->Device);
    const std::string deviceName = device >= 0 ? devices.GetDeviceName(size_t(device), false) : std::string();
    const std::string name = v->Name.empty() ? LoadText(txt::NoVolumeLabel) : v->Name;
    list->addItem(new QListWidgetItem(DeviceIcon(DeviceImage(v->Device ? v->Device->DriveType : 0)),
                                      QString::fromStdString(TextF(txt::DriveOnDevice, {name, deviceName}))));
  }
}

void TDriveDlg::FillLists() {
  FillDeviceList(physical_, devices_);
  FillDriveList(logical_, devices_, drives_);
  logical_->setCurrentRow(-1);
  physical_->setCurrentRow(-1);
  UpdateButtons();
}

TCustomDrive* TDriveDlg::SelectedDrive() const {
  const int row = logical_->currentRow();
  return row >= 0 && size_t(row) < drives_.Count() ? drives_.Items(size_t(row)) : nullptr;
}

TDevice* TDriveDlg::SearchDevice() const {
  if (pages_->currentWidget() == logicalPage_) {
    TCustomDrive* drive = SelectedDrive();
    return drive ? drive->Device : nullptr;
  }
  const int row = physical_->currentRow();
  return row >= 0 && size_t(row) < devices_.Count() ? devices_.Items(size_t(row)) : nullptr;
}

void TDriveDlg::UpdateButtons() {
  filling_ = true;
  const bool logicalPage = pages_->currentWidget() == logicalPage_;
  TCustomDrive* drive = logicalPage ? SelectedDrive() : nullptr;
  fat_->clear();
  fatLabel_->setEnabled(drive != nullptr);
  skip_->setEnabled(drive != nullptr);
  fat_->setEnabled(false);
  previewButton_->setEnabled(drive != nullptr);
  if (logicalPage) {
    findButton_->setEnabled(drive != nullptr);
    okButton_->setEnabled(drive != nullptr);
    if (const std::optional<uint32_t> fats = drive ? drive->ChoosableFATs() : std::nullopt) {
      fat_->addItem(Text(txt::No));
      for (uint32_t k = 1; k <= *fats; ++k) fat_->addItem(QString::number(k));
      fat_->setCurrentIndex(std::min<int>(drive->FATChoice(), fat_->count() - 1));
      fat_->setEnabled(true);
    }
  } else {
    const bool device = physical_->currentRow() >= 0;
    findButton_->setEnabled(device);
    if (!device) okButton_->setEnabled(false);
  }
  filling_ = false;
}

void TDriveDlg::FindClicked() {
  TDevice* device = SearchDevice();
  if (!device || device->TotalSectors == 0) return;
  uint64_t first = 0;
  uint64_t last = device->TotalSectors >= 100000 ? 100000 : device->TotalSectors - 1;
  TRangeDialog range(this, false, device->BytesPerSector);
  if (!range.Execute(first, last, 0, device->TotalSectors - 1)) return;
  // Long scans read ahead through the block cache.
  const bool cache = blockcache::Enabled();
  blockcache::SetEnabled(true);
  const size_t before = drives_.Count();
  QElapsedTimer clock;
  clock.start();
  const TLostDriveSearch search = FindLostDrives(*device, first, last, drives_, status_);
  const qint64 elapsed = clock.elapsed();
  pages_->setCurrentWidget(logicalPage_);
  FillLists();
  // A range that stopped short of the disk's end may have missed the volume the user is after:
  // say where the search ended and offer the rest, with what it would take at this pace.
  const uint64_t end = device->TotalSectors - 1;
  const std::vector<TSectorRange> rest = UnsearchedRanges(search, end, drives_.Count() > before);
  if (!rest.empty()) {
    uint64_t sectors = 0;
    for (const TSectorRange& r : rest) sectors += r.Count();
    const QLocale locale;
    const auto seconds = qint64(std::ceil(double(elapsed) / 1000.0 * double(sectors) / double(search.Range.Count())));
    const QString question =
        drives_.Count() > before
            ? TextWith(txt::LostDriveSearchEndedQuestion, {locale.toString(qulonglong(search.Range.Last)),
                                                           locale.toString(qulonglong(end)), DurationText(seconds)})
            : TextWith(txt::NoLostVolumesQuestion, {locale.toString(qulonglong(search.Range.First)),
                                                    locale.toString(qulonglong(search.Range.Last))});
    if (QMessageBox::question(this, Text(txt::DriveDialogTitle), question, QMessageBox::Yes | QMessageBox::No) ==
        QMessageBox::Yes) {
      for (const TSectorRange& r : rest) {
        const TLostDriveSearch more = FindLostDrives(*device, r.First, r.Last, drives_, status_);
        if (more.Aborted || more.Cancelled) break;
      }
      FillLists();
    }
  }
  blockcache::SetEnabled(cache);
}

std::vector<TSectorRange> TDriveDlg::UnsearchedRanges(const TLostDriveSearch& search, uint64_t end, bool found) {
  std::vector<TSectorRange> rest;
  if (search.Aborted || search.Cancelled || search.Range.Count() == 0) return rest;
  // With volumes found, the rest of the disk; with none, the whole disk (before the range too).
  if (!found && search.Range.First > 0) rest.push_back({0, search.Range.First - 1});
  if (search.Range.Last < end) rest.push_back({search.Range.Last + 1, end});
  return rest;
}

void TDriveDlg::RescanClicked() {
  if (QMessageBox::information(this, Text(txt::RescanDrives), Text(txt::RescanDrivesQuestion),
                               QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  if (Rescan) Rescan();
  FillLists();
}

// A disk or volume image joins the devices; the scan runs anew, as a rescan does.
void TDriveDlg::AddImageClicked() {
  const QString path = QFileDialog::getOpenFileName(this, Text(txt::AddDiskImage));
  if (path.isEmpty()) return;
  // A rescue map beside the image (its name plus ".map", as the imaging run names it) is offered.
  const QString mapPath = path + ".map";
  if (QFileInfo(mapPath).isFile() &&
      QMessageBox::question(this, Text(txt::AddDiskImage), TextWith(txt::RescueMapBesideImage, {mapPath}),
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
    QString why;
    if (!AddImageMap(path.toStdString(), mapPath.toStdString(), why)) {
      QMessageBox::warning(this, Text(txt::AddDiskImage), why);
      return;
    }
  }
  try {
    TDeviceRegistry::Instance().AddImage(path.toStdString());
  } catch (const std::exception& e) {
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(e.what()));
    return;
  }
  if (Rescan) Rescan();
  FillLists();
}

void TDriveDlg::PreviewClicked() {
  TCustomDrive* drive = SelectedDrive();
  if (!drive) return;
  if (!preview_) preview_ = new TPreviewDialog(this);
  preview_->Execute(*drive);
}

void TDriveDlg::OkClicked() {
  UpdateButtons();
  if (!SelectedDrive()) return;
  DriveIndex = logical_->currentRow();
  FATChoice = fat_->isEnabled() ? fat_->currentIndex() : 0;
  SkipBadClusters = skip_->isChecked();
  accept();
}

}  // namespace salvex::ui
