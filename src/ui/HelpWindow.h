#pragma once
#include <QDialog>

class QTextBrowser;
class QTextDocument;
class QUrl;

namespace salvex::ui {

// The user guide, in a window of its own that stays open beside the main window while the user
// works.
class THelpWindow : public QDialog {
  Q_OBJECT
 public:
  explicit THelpWindow(QWidget* parent = nullptr);
  // Shows the window, or brings it to the front when it is already open.
  void Present();
  QTextBrowser* Browser() const { return browser_; }

  // The anchor of a heading, as links inside the guide name it: "Saving files" -> "saving-files".
  static QString HeadingAnchor(const QString& heading);
  // The resource of the guide shown for the current language.
  static QString GuideResource();
  // Gives every heading of the document its anchor, which Markdown import leaves out.
  static void NameHeadings(QTextDocument& document);

 private:
  void LinkClicked(const QUrl& url);

  QTextBrowser* browser_ = nullptr;
};

}  // namespace salvex::ui
