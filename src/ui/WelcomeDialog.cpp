#include "ui/WelcomeDialog.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/DriveDialog.h"
#include "ui/FolderTree.h"
#include "ui/JpegImage.h"
#include "ui/MainWindow.h"
#include "ui/Translate.h"

namespace salvex::ui {

// The banner's subtitle is drawn over the picture in the chosen language; the picture holds
// only the name.
QPixmap TWelcomeDialog::BannerPicture() {
  QImage picture = LoadJpegResource(":/pictures/banner.jpg");
  if (picture.isNull()) return {};
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::TextAntialiasing);
  QFont font = painter.font();
  font.setPixelSize(13);
  painter.setFont(font);
  painter.setPen(QColor(0xdc, 0xe8, 0xee));
  const QRect room(122, 0, 330, picture.height() - 2);
  painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter,
                   painter.fontMetrics().elidedText(Text(txt::WelcomeTagline), Qt::ElideRight, room.width()));
  return QPixmap::fromImage(picture);
}

TWelcomeDialog::TWelcomeDialog(TMainWindow* window) : QDialog(window), window_(window) {
  setWindowTitle(Text(txt::WelcomeTitle));
  auto* banner = new QLabel(this);
  banner->setPixmap(BannerPicture());
  banner->setFixedHeight(52);

  auto* frame = new QFrame(this);
  frame->setFrameShape(QFrame::StyledPanel);
  auto* grid = new QGridLayout(frame);
  grid->setHorizontalSpacing(14);
  auto task = [&](int row, const char* picture, int title, int remark, std::initializer_list<int> steps) {
    auto* button = new QPushButton(frame);
    button->setIcon(QPixmap::fromImage(LoadJpegResource(QString(":/pictures/") + picture)));
    button->setIconSize(QSize(72, 72));
    button->setFixedSize(84, 84);
    button->setToolTip(Text(title));
    grid->addWidget(button, row, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    auto* heading = new QLabel(Text(title), frame);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    text->addWidget(heading);
    if (remark) {
      auto* small = new QLabel(Text(remark), frame);
      QFont f = small->font();
      f.setPointSizeF(f.pointSizeF() * 0.85);
      small->setFont(f);
      small->setWordWrap(true);
      text->addWidget(small);
    }
    int n = 0;
    for (int step : steps) {
      auto* line = new QLabel(QString("%1. %2").arg(++n).arg(Text(step)), frame);
      line->setWordWrap(true);
      text->addWidget(line);
    }
    text->addStretch();
    grid->addLayout(text, row, 1);
    return button;
  };
  undelete_ = task(0, "undelete.jpg", txt::WelcomeUndelete, 0,
                   {txt::WelcomeStepSelectLogicalDrive, txt::WelcomeStepSelectDeleted, txt::WelcomeStepSave});
  lostData_ = task(
      1, "lostdata.jpg", txt::WelcomeFindLostData, txt::WelcomeFindLostDataRemark,
      {txt::WelcomeStepSelectLogicalDrive, txt::WelcomeFindLostData, txt::WelcomeStepSelectLost, txt::WelcomeStepSave});
  lostDrive_ = task(2, "lostdrive.jpg", txt::WelcomeFindLostDrive, txt::WelcomeFindLostDriveRemark,
                    {txt::WelcomeStepSelectPhysicalDrive, txt::WelcomeStepFindLogicalDrive, txt::WelcomeStepSelectRoot,
                     txt::WelcomeStepSave});
  connect(undelete_, &QPushButton::clicked, this, &TWelcomeDialog::UndeleteClicked);
  connect(lostData_, &QPushButton::clicked, this, &TWelcomeDialog::FindLostDataClicked);
  connect(lostDrive_, &QPushButton::clicked, this, &TWelcomeDialog::FindLostDriveClicked);

  auto* buttons = new QDialogButtonBox(this);
  auto* help = buttons->addButton(Text(txt::WelcomeHelp), QDialogButtonBox::HelpRole);
  auto* close = buttons->addButton(Text(txt::HelpClose), QDialogButtonBox::AcceptRole);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  connect(help, &QPushButton::clicked, this, [this] {
    if (QAction* action = window_->Action("MenuHelpTopic")) action->trigger();
  });

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 10);
  layout->addWidget(banner);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(10, 0, 10, 0);
  body->addWidget(frame);
  body->addWidget(buttons);
  layout->addLayout(body);
  setFixedWidth(557);
}

void TWelcomeDialog::Finish() { done(QDialog::Accepted); }

void TWelcomeDialog::UndeleteClicked() {
  hide();
  window_->OpenDriveCommand();
  if (TTreeNode* deleted = window_->SpecialNodes().Deleted; deleted && window_->CurrentDrive()) {
    window_->Tree()->setFocus();
    window_->Tree()->SelectNode(deleted);
    window_->Tree()->ItemOf(deleted)->setExpanded(true);
  }
  Finish();
}

void TWelcomeDialog::FindLostDataClicked() {
  hide();
  window_->OpenDriveCommand();
  if (window_->Action("MenuFindLostData")->isEnabled() && window_->SpecialNodes().Lost) {
    window_->Tree()->SelectNode(window_->SpecialNodes().Lost);
    window_->Tree()->setFocus();
    window_->FindLostDataCommand();
  }
  Finish();
}

void TWelcomeDialog::FindLostDriveClicked() {
  hide();
  window_->DriveDialog()->ShowPhysicalPage();
  window_->OpenDriveCommand();
  if (TTreeNode* root = window_->SpecialNodes().Root; root && window_->CurrentDrive()) {
    window_->Tree()->SelectNode(root);
    window_->Tree()->setFocus();
    window_->Tree()->ItemOf(root)->setExpanded(true);
  }
  Finish();
}

}  // namespace salvex::ui
