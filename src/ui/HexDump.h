#pragma once
#include <QAbstractScrollArea>
#include <QColor>
#include <array>
#include <cstdint>

namespace salvex::ui {

class TByteSource;

// A hex dump of a byte source of any size. Bytes are read only as lines are painted, in
// 2048-byte blocks aligned to 2048, so a file of gigabytes opens at once. The scroll bar keeps a
// fixed range and maps its thumb to lines through a factor, which keeps it within int.
class THexDump : public QAbstractScrollArea {
  Q_OBJECT
 public:
  static constexpr int kBlock = 2048;
  static constexpr int kThumbRange = 65535;

  explicit THexDump(QWidget* parent = nullptr);

  // The source is borrowed; null shows nothing.
  void SetStream(TByteSource* source);
  bool ShowAddress() const { return showAddress_; }
  void SetShowAddress(bool on);
  bool ShowCharacters() const { return showCharacters_; }
  void SetShowCharacters(bool on);
  QColor AddressColor = Qt::black;
  QColor HexDataColor = Qt::black;
  QColor AnsiCharColor = Qt::black;

  int BytesPerLine() const { return bytesPerLine_; }
  int LineHeight() const { return lineHeight_; }
  int CharWidth() const { return charWidth_; }
  int AddressColumns() const { return showAddress_ ? addressColumns_ : 0; }
  int64_t LineCount() const { return lineCount_; }
  int64_t VisibleLines() const { return visibleLines_; }
  int64_t TopLine() const { return topLine_; }
  int64_t CursorLine() const { return cursorLine_; }
  double ScrollFactor() const { return scrollFactor_; }
  // The thumb position moved (drag, track or a click on the bar).
  void ThumbTo(int position);
  // The texts drawn for a line: address ("" when hidden), hex pairs and characters.
  struct TLine {
    QString Address, Hex, Chars;
  };
  TLine LineTexts(int64_t line);
  // Blocks read so far (a measure of laziness for tests and the debug window).
  int64_t BlocksRead() const { return blocksRead_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool focusNextPrevChild(bool) override { return false; }  // arrow keys and Tab stay here
  void scrollContentsBy(int, int) override {}                // the top line moves the contents

 private:
  void Layout();
  void SetTopLine(int64_t line);
  void SetCursorLine(int64_t line);
  void UpdateThumb();
  void ScrollBarAction(int action);
  // count bytes at offset through the block buffer; bytes past the end are 0.
  void Fetch(uint64_t offset, uint8_t* out, int count);

  TByteSource* source_ = nullptr;
  uint64_t size_ = 0;
  bool showAddress_ = true;
  bool showCharacters_ = true;
  int addressColumns_ = 10;
  int bytesPerLine_ = 16;
  int lineHeight_ = 1;
  int charWidth_ = 1;
  int64_t lineCount_ = 0;
  int64_t visibleLines_ = 1;
  int64_t topLine_ = 0;
  int64_t cursorLine_ = 0;
  double scrollFactor_ = 1;
  bool settingThumb_ = false;
  std::array<uint8_t, kBlock> block_{};
  int64_t blockStart_ = -1;
  int64_t blocksRead_ = 0;
};

}  // namespace salvex::ui
