#include "ui/DriveInfoDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>

#include "devices/Device.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "salvex/StringIds.h"
#include "ui/ImageMaps.h"
#include "ui/MapBar.h"
#include "ui/Translate.h"

namespace salvex::ui {

TDriveInfoDialog::TDriveInfoDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text(txt::DriveInfoTitle));
  auto* form = new QFormLayout(this);
  for (int i = 0; i < 6; ++i) {
    fields_[i] = new QLineEdit(this);
    fields_[i]->setReadOnly(true);
    fields_[i]->setMinimumWidth(i == 0 ? 260 : 120);
    form->addRow(Text(txt::DriveInfoDrive + i), fields_[i]);
  }
  mapLabel_ = Tagged(new QLabel(this), txt::DriveInfoRescueMap);
  mapText_ = new QLabel(this);
  mapText_->setWordWrap(true);
  mapBar_ = new TMapBar(this);
  form->addRow(mapLabel_, mapText_);
  form->addRow(mapBar_);
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(txt::DriveInfoOk), QDialogButtonBox::AcceptRole)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
  form->addRow(buttons);
}

void TDriveInfoDialog::Prepare(const TDevice& device) {
  DiskGeometry g;
  const bool ok = device.Kind == KindLogical ? GetLogicalGeometry(device.Number, g) : GetDiskGeometry(device.Number, g);
  if (!ok) g = DiskGeometry{};
  fields_[0]->setText(QString::fromStdString(device.Name));
  const uint64_t values[5] = {g.Cylinders, g.Heads, g.SectorsPerTrack, g.TotalSectors, g.BytesPerSector};
  for (int i = 0; i < 5; ++i) fields_[i + 1]->setText(QLocale().toString(qulonglong(values[i])));
  std::string mapPath;
  const TRescueMap* map = MapOfDevice(device, &mapPath);
  mapLabel_->setVisible(map != nullptr);
  mapText_->setVisible(map != nullptr);
  mapBar_->setVisible(map != nullptr);
  if (map) {
    mapText_->setText(TextWith(txt::ImageReadOfTotal, {QString::fromStdString(mapPath),
                                                       QLocale().toString(qulonglong(map->Total(RescueFinished))),
                                                       QLocale().toString(qulonglong(map->Size()))}));
    mapBar_->SetMap(*map);
  } else {
    mapBar_->Clear();
  }
}

bool TDriveInfoDialog::Run(const TDevice& device) {
  Prepare(device);
  return exec() == QDialog::Accepted;
}

QString TDriveInfoDialog::Field(int index) const { return fields_[index]->text(); }

}  // namespace salvex::ui
