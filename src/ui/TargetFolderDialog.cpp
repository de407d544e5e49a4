#include "ui/TargetFolderDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "common/Format.h"
#include "common/Helpers.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

TTargetFolderDialog::TTargetFolderDialog(QWidget* parent) : QDialog(parent) {
  Tagged(this, txt::TargetFolderTitle);
  setWindowTitle(Text(txt::TargetFolderTitle));
  resize(520, 520);
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
  model_->setRootPath(QDir::rootPath());
  tree_ = new QTreeView(this);
  tree_->setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) tree_->hideColumn(c);
  tree_->header()->hide();
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& index) {
    folder_ = model_->filePath(index);
    ShowPath();
  });

  path_ = new QLabel(this);
  path_->setTextFormat(Qt::PlainText);
  auto* notice = Tagged(new QLabel(Text(txt::TargetFolderOtherDriveNotice), this), txt::TargetFolderOtherDriveNotice);
  notice->setWordWrap(true);
  QFont bold = notice->font();
  bold.setBold(true);
  notice->setFont(bold);
  fatLabel_ = Tagged(new QLabel(Text(txt::TargetFolderFatSource), this), txt::TargetFolderFatSource);
  fatLabel_->setWordWrap(true);
  fat_ = new QComboBox(this);
  fatNote_ = Tagged(new QLabel(Text(txt::TargetFolderNoFatNote), this), txt::TargetFolderNoFatNote);
  fatNote_->setWordWrap(true);

  auto* buttons = new QDialogButtonBox(this);
  auto* newFolder =
      Tagged(buttons->addButton(Text(txt::TargetFolderNew), QDialogButtonBox::ActionRole), txt::TargetFolderNew);
  Tagged(buttons->addButton(Text(txt::TargetFolderOk), QDialogButtonBox::AcceptRole), txt::TargetFolderOk);
  Tagged(buttons->addButton(Text(txt::TargetFolderCancel), QDialogButtonBox::RejectRole), txt::TargetFolderCancel);
  connect(newFolder, &QPushButton::clicked, this, &TTargetFolderDialog::NewFolderClicked);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (!folder_.isEmpty()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_, 1);
  layout->addWidget(path_);
  layout->addWidget(notice);
  layout->addWidget(fatLabel_);
  layout->addWidget(fat_);
  layout->addWidget(fatNote_);
  layout->addWidget(buttons);
}

bool TTargetFolderDialog::Run(std::string& folder, const std::vector<std::string>& fatItems, int& fatChoice) {
  Prepare(folder, fatItems, fatChoice);
  if (exec() != QDialog::Accepted) return false;
  folder = Folder().toStdString();
  if (!fatItems.empty()) fatChoice = fat_->currentIndex();
  return true;
}

void TTargetFolderDialog::Prepare(const std::string& folder, const std::vector<std::string>& fatItems, int fatChoice) {
  TranslateComponent(this);
  SetFolder(folder.empty() ? QDir::homePath() : QString::fromStdString(folder));
  fat_->clear();
  for (const auto& item : fatItems) fat_->addItem(QString::fromStdString(item));
  const bool withFAT = !fatItems.empty();
  for (QWidget* w : {static_cast<QWidget*>(fatLabel_), static_cast<QWidget*>(fat_), static_cast<QWidget*>(fatNote_)})
    w->setVisible(withFAT);
  if (withFAT) fat_->setCurrentIndex(std::clamp(fatChoice, 0, int(fatItems.size()) - 1));
}

void TTargetFolderDialog::SetFolder(const QString& path) {
  folder_ = QDir::cleanPath(path);
  const QModelIndex index = model_->index(folder_);
  if (index.isValid()) {
    tree_->setCurrentIndex(index);
    tree_->scrollTo(index);
  }
  ShowPath();
}

QString TTargetFolderDialog::Folder() const {
  if (folder_.isEmpty()) return {};
  return folder_.endsWith('/') ? folder_ : folder_ + '/';
}

void TTargetFolderDialog::ShowPath() { path_->setText(Text(txt::TargetFolderLabel) + " " + Folder()); }

bool TTargetFolderDialog::CreateFolder(const QString& name) {
  const QString path = Folder() + name;
  const bool plain = !name.isEmpty() && name != "." && name != ".." && !name.contains('/');
  if (!plain || !QDir().mkdir(path)) {
    QMessageBox::warning(this, windowTitle(),
                         QString::fromStdString(TextF(txt::CannotCreateFolderNamed, {path.toStdString()})));
    return false;
  }
  SetFolder(path);
  return true;
}

QInputDialog* TTargetFolderDialog::NewFolderPrompt() {
  if (Folder().isEmpty()) return nullptr;
  if (!prompt_) {
    prompt_ = new QInputDialog(this);
    prompt_->setInputMode(QInputDialog::TextInput);
  }
  prompt_->setWindowTitle(Text(txt::CreateFolderTitle));
  prompt_->setLabelText(QString::fromStdString(ShortenPath(Folder().toStdString(), 20)));
  prompt_->setOkButtonText(Text(txt::PropertiesOk));
  prompt_->setCancelButtonText(Text(txt::PropertiesCancel));
  prompt_->setTextValue(QString());
  // The title is the question; the window must be wide enough to show it whole.
  if (auto* edit = prompt_->findChild<QLineEdit*>())
    edit->setMinimumWidth(prompt_->fontMetrics().horizontalAdvance(Text(txt::CreateFolderTitle)) + 80);
  return prompt_;
}

void TTargetFolderDialog::NewFolderClicked() {
  QInputDialog* prompt = NewFolderPrompt();
  if (prompt && prompt->exec() == QDialog::Accepted) CreateFolder(prompt->textValue());
}

}  // namespace salvex::ui
