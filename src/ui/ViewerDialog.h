#pragma once
#include <QDialog>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QScrollArea;
class QTabWidget;

namespace salvex::ui {

class TByteSource;
class THexDump;

// Looks into a file before it is saved, through the same reading a save uses: a hex page, a
// text page and, when the bytes decode as a picture, a picture page.
class TViewerDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr uint64_t kTextLimit = 16u << 20;     // larger files show their start as text
  static constexpr uint64_t kPictureLimit = 64u << 20;  // larger files are not decoded

  explicit TViewerDialog(QWidget* parent = nullptr);
  ~TViewerDialog() override;

  // Shows the source with the hex or the text page in front; true when closed with OK.
  bool ShowHex(std::unique_ptr<TByteSource> source, const QString& name);
  bool ShowText(std::unique_ptr<TByteSource> source, const QString& name);
  // Sets the source and the page as the Show operations do, without running the window.
  void Prepare(std::unique_ptr<TByteSource> source, const QString& name, bool hex);

  THexDump* Hex() const { return hex_; }
  QPlainTextEdit* TextBox() const { return text_; }
  QTabWidget* Pages() const { return pages_; }
  bool HasPicture() const;
  void ShowPicturePage();

 private:
  void PageChanged(int index);
  void LoadText();

  std::unique_ptr<TByteSource> source_;
  QTabWidget* pages_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  THexDump* hex_ = nullptr;
  QScrollArea* pictureArea_ = nullptr;
  QLabel* picture_ = nullptr;
  bool textLoaded_ = false;
};

}  // namespace salvex::ui
