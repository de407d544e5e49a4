#include "ui/ImageDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "salvex/StringIds.h"
#include "ui/DriveDialog.h"
#include "ui/MapBar.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

// The file a device of the drive list reads.
const TRegisteredDevice* Registered(const TDevice& device) {
  const auto& registry = TDeviceRegistry::Instance();
  return device.Kind == KindLogical ? registry.FindLogical(device.Number) : registry.FindPhysical(device.Number);
}

}  // namespace

TImageDialog::TImageDialog(QWidget* parent, TDeviceList& devices, TDriveList& drives)
    : QDialog(parent), devices_(devices), drives_(drives) {
  Tagged(this, txt::CreateDiskImage);
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  resize(600, 460);
  auto* notice = Tagged(new QLabel(this), txt::ImageNotice);
  notice->setWordWrap(true);
  notice->setStyleSheet("QLabel { background: #1f4e79; color: white; font-weight: bold; padding: 10px; }");

  pages_ = new QTabWidget(this);
  logicalPage_ = Tagged(new QWidget, txt::DriveTabLogical);
  auto* physicalPage = Tagged(new QWidget, txt::DriveTabPhysical);
  logical_ = new QListWidget(logicalPage_);
  physical_ = new QListWidget(physicalPage);
  (new QVBoxLayout(logicalPage_))->addWidget(logical_);
  (new QVBoxLayout(physicalPage))->addWidget(physical_);
  pages_->addTab(logicalPage_, QString());
  pages_->addTab(physicalPage, QString());

  target_ = new QLineEdit(this);
  auto* browse = Tagged(new QPushButton(this), txt::ImageBrowse);
  auto* targetRow = new QHBoxLayout;
  targetRow->addWidget(target_, 1);
  targetRow->addWidget(browse);
  map_ = new QLineEdit(this);
  retries_ = new QSpinBox(this);
  retries_->setRange(0, 1000);
  retries_->setValue(1);
  auto* form = new QFormLayout;
  form->addRow(Tagged(new QLabel(this), txt::ImageFileField), targetRow);
  form->addRow(Tagged(new QLabel(this), txt::ImageMapField), map_);
  form->addRow(Tagged(new QLabel(this), txt::ImageRetries), retries_);
  mapBar_ = new TMapBar(this);
  mapState_ = new QLabel(this);
  mapState_->setWordWrap(true);

  start_ = Tagged(new QPushButton(this), txt::ImageStart);
  start_->setDefault(true);
  auto* cancel = Tagged(new QPushButton(this), txt::DriveCancel);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(start_);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(notice);
  layout->addWidget(Tagged(new QLabel(this), txt::ImageCopyFrom));
  layout->addWidget(pages_, 1);
  layout->addLayout(form);
  layout->addWidget(mapState_);
  layout->addWidget(mapBar_);
  layout->addLayout(buttons);
  TranslateComponent(this);

  connect(target_, &QLineEdit::textEdited, this, &TImageDialog::TargetEdited);
  connect(map_, &QLineEdit::textEdited, this, [this] {
    mapFollowsTarget_ = map_->text().isEmpty();
    ShowMap();
  });
  connect(browse, &QPushButton::clicked, this, &TImageDialog::BrowseClicked);
  connect(start_, &QPushButton::clicked, this, &TImageDialog::StartClicked);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  // One source at a time: a row chosen on one page clears the other's.
  connect(logical_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) physical_->setCurrentRow(-1);
  });
  connect(physical_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) logical_->setCurrentRow(-1);
  });
  ShowMap();
}

void TImageDialog::Prepare() {
  TDriveDlg::FillDriveList(logical_, devices_, drives_);
  TDriveDlg::FillDeviceList(physical_, devices_);
  TranslateComponent(this);
  ShowMap();
}

bool TImageDialog::Execute(TImageRequest& request) {
  Prepare();
  if (exec() != QDialog::Accepted) return false;
  request = request_;
  return true;
}

// The map's name follows the image's until the user gives it one of its own.
void TImageDialog::TargetEdited(const QString& text) {
  if (mapFollowsTarget_) map_->setText(text.isEmpty() ? QString() : text + ".map");
  ShowMap();
}

void TImageDialog::ShowMap() {
  const QString path = map_->text();
  TRescueMap map;
  std::string why;
  if (!path.isEmpty() && QFileInfo(path).isFile() && LoadRescueMap(path.toStdString(), map, why)) {
    const QLocale locale;
    mapBar_->SetMap(map);
    mapState_->setText(TextWith(txt::ImageMapContinues, {locale.toString(qulonglong(map.Total(RescueFinished))),
                                                         locale.toString(qulonglong(map.Size()))}));
  } else {
    mapBar_->Clear();
    mapState_->setText(Text(txt::ImageNoMapYet));
  }
}

void TImageDialog::BrowseClicked() {
  const QString path = QFileDialog::getSaveFileName(this, Text(txt::ImageFileLabel), target_->text(), QString(),
                                                    nullptr, QFileDialog::DontConfirmOverwrite);
  if (path.isEmpty()) return;
  target_->setText(path);
  TargetEdited(path);
}

bool TImageDialog::MakeRequest(TImageRequest& request, QString& why) const {
  request = TImageRequest{};
  const TDevice* device = nullptr;
  if (const int row = logical_->currentRow(); row >= 0 && size_t(row) < drives_.Count()) {
    const TCustomDrive* drive = drives_.Items(size_t(row));
    device = drive->Device;
    if (device) {
      const uint64_t bps = device->BytesPerSector ? device->BytesPerSector : 512;
      request.Offset = drive->FirstSector * bps;
      request.Length = drive->VolumeBytes();
    }
  } else if (const int at = physical_->currentRow(); at >= 0 && size_t(at) < devices_.Count()) {
    device = devices_.Items(size_t(at));
  }
  const TRegisteredDevice* registered = device ? Registered(*device) : nullptr;
  if (!registered) {
    why = Text(txt::ImageChooseSource);
    return false;
  }
  if (target_->text().trimmed().isEmpty() || map_->text().trimmed().isEmpty()) {
    why = Text(txt::ImageGiveFiles);
    return false;
  }
  request.Source = registered->Path;
  request.Target = target_->text().trimmed().toStdString();
  request.Map = map_->text().trimmed().toStdString();
  request.Retries = retries_->value();
  request.SectorSize = device->BytesPerSector ? device->BytesPerSector : 512;
  return true;
}

void TImageDialog::StartClicked() {
  QString why;
  if (!MakeRequest(request_, why)) {
    QMessageBox::information(this, windowTitle(), why);
    return;
  }
  accept();
}

}  // namespace salvex::ui
