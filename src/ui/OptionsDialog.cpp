#include "ui/OptionsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QGridLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

QFont FileListFont(const TOptions& o) {
  QFont font = QApplication::font();
  if (!o.FileListFontName.empty()) font.setFamily(QString::fromStdString(o.FileListFontName));
  if (o.FileListFontSize > 0) font.setPointSize(o.FileListFontSize);
  return font;
}

TOptionsDialog::TOptionsDialog(QWidget* parent, TOptions& options)
    : QDialog(parent), options_(options), font_(FileListFont(options)) {
  Tagged(this, txt::OptionsTitle);
  auto* tabs = new QTabWidget(this);

  auto* display = Tagged(new QWidget, txt::OptionsDisplayTab);
  auto* fileList = Tagged(new QGroupBox(display), txt::OptionsFileList);
  fontName_ = new QLineEdit(fileList);
  fontName_->setReadOnly(true);
  auto* select = Tagged(new QPushButton(fileList), txt::OptionsSelectFont);
  sample_ = new QLabel("AaBbYyZz", fileList);
  sample_->setFrameShape(QFrame::Panel);
  sample_->setFrameShadow(QFrame::Sunken);
  sample_->setAlignment(Qt::AlignCenter);
  sample_->setMinimumHeight(48);
  auto* fontGrid = new QGridLayout(fileList);
  fontGrid->addWidget(Tagged(new QLabel(fileList), txt::OptionsFont), 0, 0);
  fontGrid->addWidget(fontName_, 0, 1);
  fontGrid->addWidget(select, 0, 2);
  fontGrid->addWidget(Tagged(new QLabel(fileList), txt::OptionsSample), 1, 0);
  fontGrid->addWidget(sample_, 1, 1, 1, 2);
  (new QVBoxLayout(display))->addWidget(fileList);
  static_cast<QVBoxLayout*>(display->layout())->addStretch();
  connect(select, &QPushButton::clicked, this, &TOptionsDialog::FontClicked);

  auto* files = Tagged(new QWidget, txt::OptionsFilesTab);
  auto* deleted = Tagged(new QGroupBox(files), txt::OptionsDeletedCharacter);
  oneByte_ = Tagged(new QRadioButton(deleted), txt::OptionsOneByte);
  twoByte_ = Tagged(new QRadioButton(deleted), txt::OptionsTwoByte);
  ansiChar_ = new QLineEdit(deleted);
  ansiChar_->setMaxLength(1);
  multiChar_ = new QLineEdit(deleted);
  multiChar_->setMaxLength(2);
  auto* deletedGrid = new QGridLayout(deleted);
  deletedGrid->addWidget(oneByte_, 0, 0);
  deletedGrid->addWidget(ansiChar_, 0, 1);
  deletedGrid->addWidget(twoByte_, 1, 0);
  deletedGrid->addWidget(multiChar_, 1, 1);
  auto* lost = Tagged(new QGroupBox(files), txt::OptionsLostFiles);
  findLost_ = Tagged(new QCheckBox(lost), txt::OptionsFindLostFiles);
  defaultSize_ = new QLineEdit(lost);
  defaultSize_->setValidator(new QIntValidator(0, 2147483647, defaultSize_));
  auto* lostGrid = new QGridLayout(lost);
  lostGrid->addWidget(findLost_, 0, 0, 1, 2);
  lostGrid->addWidget(Tagged(new QLabel(lost), txt::OptionsDefaultFileSize), 1, 0);
  lostGrid->addWidget(defaultSize_, 1, 1);
  lostGrid->addWidget(Tagged(new QLabel(lost), txt::OptionsLostFilesRemark), 2, 0, 1, 2);
  auto* filesLayout = new QVBoxLayout(files);
  filesLayout->addWidget(deleted);
  filesLayout->addWidget(lost);
  filesLayout->addStretch();

  auto* access = Tagged(new QWidget, txt::OptionsAccessTab);
  auto* physical = Tagged(new QGroupBox(access), txt::OptionsPhysicalDrives);
  int13_ = Tagged(new QCheckBox(physical), txt::OptionsUseInt13);
  int13ext_ = Tagged(new QCheckBox(physical), txt::OptionsUseInt13Extensions);
  auto* physicalLayout = new QVBoxLayout(physical);
  physicalLayout->addWidget(int13_);
  physicalLayout->addWidget(int13ext_);
  auto* logical = Tagged(new QGroupBox(access), txt::OptionsLogicalDrives);
  int25_ = Tagged(new QCheckBox(logical), txt::OptionsUseInt25);
  (new QVBoxLayout(logical))->addWidget(int25_);
  // Only the NT-style reads exist here: the older systems' switches are kept but not offered.
  physical->setEnabled(false);
  logical->setEnabled(false);
  cache_ = Tagged(new QCheckBox(access), txt::OptionsReadAhead);
  errors_ = Tagged(new QCheckBox(access), txt::OptionsSeriousErrors);
  auto* accessLayout = new QVBoxLayout(access);
  accessLayout->addWidget(physical);
  accessLayout->addWidget(logical);
  accessLayout->addWidget(cache_);
  accessLayout->addWidget(errors_);
  accessLayout->addStretch();

  tabs->addTab(display, QString());
  tabs->addTab(files, QString());
  tabs->addTab(access, QString());

  auto* buttons = new QDialogButtonBox(this);
  Tagged(buttons->addButton(QString(), QDialogButtonBox::AcceptRole), txt::OptionsOk);
  Tagged(buttons->addButton(QString(), QDialogButtonBox::RejectRole), txt::OptionsCancel);
  auto* save = Tagged(buttons->addButton(QString(), QDialogButtonBox::ApplyRole), txt::OptionsSave);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(save, &QPushButton::clicked, this, &TOptionsDialog::SaveClicked);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
  TranslateComponent(this);

  fontName_->setText(font_.family());
  sample_->setFont(font_);
  oneByte_->setChecked(!options.DeletedUseMultiByte);
  twoByte_->setChecked(options.DeletedUseMultiByte);
  ansiChar_->setText(QString::fromStdString(options.DeletedCharAnsi));
  multiChar_->setText(QString::fromStdString(options.DeletedCharMultibyte));
  findLost_->setChecked(options.FindLostFiles);
  defaultSize_->setText(QString::number(options.LostDefaultSize));
  int13_->setChecked(options.UseINT13);
  int13ext_->setChecked(options.UseINT13EXT);
  int25_->setChecked(options.UseINT25);
  cache_->setChecked(options.EnableCache);
  errors_->setChecked(options.EnableWinErrorMsg);
}

TOptions TOptionsDialog::Collect() const {
  TOptions o = options_;
  o.UseINT13 = int13_->isChecked();
  o.UseINT13EXT = int13ext_->isChecked();
  o.UseINT25 = int25_->isChecked();
  o.EnableCache = cache_->isChecked();
  o.EnableWinErrorMsg = errors_->isChecked();
  o.FileListFontName = font_.family().toStdString();
  o.FileListFontSize = font_.pointSize() > 0 ? font_.pointSize() : 0;
  o.FileListFontHeight = font_.pixelSize() > 0 ? -font_.pixelSize() : 0;
  o.FileListFontColor = 0;
  o.FileListFontPixelsPerInch = logicalDpiY();
  // Text that is not a number keeps the previous size.
  bool ok = false;
  const uint32_t size = defaultSize_->text().toUInt(&ok);
  if (ok) o.LostDefaultSize = size;
  o.DeletedCharAnsi = ansiChar_->text().toStdString();
  o.DeletedCharMultibyte = multiChar_->text().toStdString();
  o.DeletedUseMultiByte = twoByte_->isChecked();
  o.FindLostFiles = findLost_->isChecked();
  return o;
}

bool TOptionsDialog::Edit() {
  if (exec() != QDialog::Accepted) return false;
  options_ = Collect();
  return true;
}

void TOptionsDialog::SaveClicked() {
  if (QMessageBox::warning(this, windowTitle(), Text(txt::SaveOptionsWarning), QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes)
    return;
  options_ = Collect();
  if (Store) Store(options_);
}

void TOptionsDialog::FontClicked() {
  QFontDialog dialog(font_, this);
  dialog.setOption(QFontDialog::ScalableFonts);
  if (dialog.exec() != QDialog::Accepted) return;
  QFont chosen = dialog.selectedFont();
  // Sizes from 8 to 14 points, as the list is laid out for.
  chosen.setPointSize(std::clamp(chosen.pointSize() > 0 ? chosen.pointSize() : 9, 8, 14));
  font_ = chosen;
  fontName_->setText(font_.family());
  sample_->setFont(font_);
}

}  // namespace salvex::ui
