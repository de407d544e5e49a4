#include "ui/HelpWindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QWindow>

#include "common/StringTable.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

THelpWindow::THelpWindow(QWidget* parent) : QDialog(parent) {
  Tagged(this, txt::HelpTitle);
  setWindowTitle(Text(txt::HelpTitle));
  setModal(false);
  resize(680, 640);

  browser_ = new QTextBrowser(this);
  browser_->setObjectName("HelpText");
  // Links are followed here: anchors inside the guide scroll, anything else goes to the desktop.
  browser_->setOpenLinks(false);
  QFile guide(GuideResource());
  if (guide.open(QIODevice::ReadOnly)) browser_->setMarkdown(QString::fromUtf8(guide.readAll()));
  NameHeadings(*browser_->document());
  connect(browser_, &QTextBrowser::anchorClicked, this, &THelpWindow::LinkClicked);

  auto* buttons = new QDialogButtonBox(this);
  auto* close = Tagged(buttons->addButton(Text(txt::HelpClose), QDialogButtonBox::RejectRole), txt::HelpClose);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(browser_);
  layout->addWidget(buttons);
}

QString THelpWindow::GuideResource() {
  // The guide in the chosen language where there is one, else the English guide.
  for (const LanguageInfo& language : Languages())
    if (language.Base == LanguageBase) {
      const QString own = QString(":/help/guide.%1.md").arg(QString::fromStdString(language.Stem));
      if (QFile::exists(own)) return own;
    }
  return ":/help/guide.md";
}

void THelpWindow::Present() {
  // While a modal dialog runs (the welcome dialog's Help button), a window of the main window
  // would take no input; as the dialog's own window it does.
  QWidget* modal = QApplication::activeModalWidget();
  QWidget* owner = modal && modal != this ? modal : parentWidget() ? parentWidget()->window() : nullptr;
  if (owner) {
    winId();
    owner->winId();
    windowHandle()->setTransientParent(owner->windowHandle());
  }
  show();
  raise();
  activateWindow();
}

QString THelpWindow::HeadingAnchor(const QString& heading) {
  QString anchor;
  for (const QChar c : heading.trimmed().toLower()) {
    if (c.isLetterOrNumber() || c == '-' || c == '_')
      anchor += c;
    else if (c.isSpace())
      anchor += '-';
  }
  return anchor;
}

void THelpWindow::NameHeadings(QTextDocument& document) {
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    if (block.blockFormat().headingLevel() == 0) continue;
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setAnchor(true);
    format.setAnchorNames({HeadingAnchor(block.text())});
    cursor.mergeCharFormat(format);
  }
}

void THelpWindow::LinkClicked(const QUrl& url) {
  if (url.isRelative() && url.path().isEmpty() && url.hasFragment())
    browser_->scrollToAnchor(url.fragment());
  else if (!url.isRelative())
    QDesktopServices::openUrl(url);
}

}  // namespace salvex::ui
