#include "ui/HexDump.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "ui/ByteSource.h"

namespace salvex::ui {

THexDump::THexDump(QWidget* parent) : QAbstractScrollArea(parent) {
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setAutoFillBackground(true);
  QPalette p = viewport()->palette();
  p.setColor(QPalette::Base, Qt::white);
  viewport()->setPalette(p);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &THexDump::ScrollBarAction);
  Layout();
}

void THexDump::SetStream(TByteSource* source) {
  source_ = source;
  size_ = source ? source->Size() : 0;
  blockStart_ = -1;
  cursorLine_ = topLine_ = 0;
  Layout();
  viewport()->update();
}

void THexDump::SetShowAddress(bool on) {
  showAddress_ = on;
  Layout();
  viewport()->update();
}

void THexDump::SetShowCharacters(bool on) {
  showCharacters_ = on;
  Layout();
  viewport()->update();
}

void THexDump::Layout() {
  const QFontMetrics fm(font());
  lineHeight_ = fm.height() + 2;
  charWidth_ = fm.horizontalAdvance('D') + 1;
  // Eight digits and "h " as long as offsets fit; longer offsets widen the column.
  int digits = 8;
  for (uint64_t top = size_ > 0 ? size_ - 1 : 0; (top >> (4 * digits)) != 0;) ++digits;
  addressColumns_ = digits + 2;
  visibleLines_ = viewport()->height() / lineHeight_ + 1;
  const int columns = viewport()->width() / charWidth_ - AddressColumns();
  bytesPerLine_ = std::clamp(columns / (showCharacters_ ? 4 : 3), 1, 16);
  lineCount_ = int64_t(size_ / uint64_t(bytesPerLine_) + (size_ % uint64_t(bytesPerLine_) != 0));
  // Up to the thumb range a thumb step is a line; beyond it a step covers several.
  scrollFactor_ = lineCount_ > kThumbRange + 1 ? double(lineCount_) / (kThumbRange + 1) : 1.0;
  QScrollBar* bar = verticalScrollBar();
  settingThumb_ = true;
  bar->setRange(0, int(std::min<int64_t>(kThumbRange, std::max<int64_t>(lineCount_ - 1, 0))));
  bar->setSingleStep(1);
  bar->setPageStep(int(std::max<int64_t>(1, std::llround(double(visibleLines_ - 1) / scrollFactor_))));
  settingThumb_ = false;
  topLine_ = std::clamp<int64_t>(topLine_, 0, std::max<int64_t>(lineCount_ - 1, 0));
  cursorLine_ = std::clamp<int64_t>(cursorLine_, 0, std::max<int64_t>(lineCount_ - 1, 0));
  UpdateThumb();
}

void THexDump::UpdateThumb() {
  settingThumb_ = true;
  verticalScrollBar()->setValue(int(std::llround(double(topLine_) / scrollFactor_)));
  settingThumb_ = false;
}

void THexDump::SetTopLine(int64_t line) {
  line = std::clamp<int64_t>(line, 0, std::max<int64_t>(lineCount_ - 1, 0));
  if (line == topLine_) return;
  const int64_t delta = line - topLine_;
  topLine_ = line;
  UpdateThumb();
  if (delta == 1 || delta == -1)
    viewport()->scroll(0, int(-delta) * lineHeight_);
  else
    viewport()->update();
}

void THexDump::ThumbTo(int position) { SetTopLine(std::llround(position * scrollFactor_)); }

void THexDump::ScrollBarAction(int action) {
  if (settingThumb_) return;
  // The bar's own move is replaced by ours: its value follows the top line.
  int64_t top = topLine_;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub: top -= 1; break;
    case QAbstractSlider::SliderSingleStepAdd: top += 1; break;
    case QAbstractSlider::SliderPageStepSub: top -= visibleLines_ - 1; break;
    case QAbstractSlider::SliderPageStepAdd: top += visibleLines_ - 1; break;
    case QAbstractSlider::SliderToMinimum: top = 0; break;
    case QAbstractSlider::SliderToMaximum: top = lineCount_ - 1; break;
    case QAbstractSlider::SliderMove:
      ThumbTo(verticalScrollBar()->sliderPosition());
      return;
    default: return;
  }
  SetTopLine(top);
  verticalScrollBar()->setSliderPosition(verticalScrollBar()->value());
}

void THexDump::SetCursorLine(int64_t line) {
  cursorLine_ = std::clamp<int64_t>(line, 0, std::max<int64_t>(lineCount_ - 1, 0));
  if (cursorLine_ < topLine_)
    SetTopLine(cursorLine_);
  else if (cursorLine_ >= topLine_ + visibleLines_ - 1)
    SetTopLine(cursorLine_ + 2 - visibleLines_);
  viewport()->update();
}

void THexDump::keyPressEvent(QKeyEvent* event) {
  if (!source_) return QAbstractScrollArea::keyPressEvent(event);
  switch (event->key()) {
    case Qt::Key_PageUp: SetCursorLine(cursorLine_ - visibleLines_); break;
    case Qt::Key_PageDown: SetCursorLine(cursorLine_ + visibleLines_); break;
    case Qt::Key_End: SetCursorLine(lineCount_ - 1); break;
    case Qt::Key_Home: SetCursorLine(0); break;
    case Qt::Key_Up: SetCursorLine(cursorLine_ - 1); break;
    case Qt::Key_Down: SetCursorLine(cursorLine_ + 1); break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
  }
  event->accept();
}

void THexDump::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  if (source_) SetCursorLine(int64_t(event->position().y()) / lineHeight_ + topLine_);
}

void THexDump::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  Layout();
}

void THexDump::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) Layout();
}

void THexDump::Fetch(uint64_t offset, uint8_t* out, int count) {
  while (count > 0) {
    const int64_t start = int64_t(offset - offset % kBlock);
    if (start != blockStart_) {
      block_.fill(0);
      if (source_) source_->ReadAt(uint64_t(start), block_.data(), kBlock);
      blockStart_ = start;
      ++blocksRead_;
    }
    // A line that reaches past the block takes the rest from the next one.
    const int at = int(offset - uint64_t(start));
    const int n = std::min(count, kBlock - at);
    std::copy_n(block_.data() + at, n, out);
    out += n;
    offset += uint64_t(n);
    count -= n;
  }
}

THexDump::TLine THexDump::LineTexts(int64_t line) {
  TLine texts;
  if (line < 0 || line >= lineCount_) return texts;
  const uint64_t offset = uint64_t(line) * uint64_t(bytesPerLine_);
  const int count = int(std::min<uint64_t>(uint64_t(bytesPerLine_), size_ - offset));
  uint8_t bytes[16];
  Fetch(offset, bytes, count);
  if (showAddress_)
    texts.Address = QString("%1").arg(offset, addressColumns_ - 2, 16, QChar(' ')).toUpper() + 'h';
  static const char digits[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    if (i) texts.Hex += ' ';
    texts.Hex += QChar(digits[bytes[i] >> 4]);
    texts.Hex += QChar(digits[bytes[i] & 15]);
    // Control characters (C0, DEL and C1) would move the text or show as boxes; they show as dots.
    const bool control = bytes[i] < 32 || (bytes[i] >= 127 && bytes[i] < 160);
    texts.Chars += control ? QChar('.') : QChar(char16_t(bytes[i]));
  }
  return texts;
}

void THexDump::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(font());
  const QFontMetrics fm(font());
  const int first = event->rect().top() / lineHeight_;
  const int last = std::min<int>(int(visibleLines_) - 1, event->rect().bottom() / lineHeight_);
  const int left = AddressColumns() * charWidth_;
  for (int row = first; row <= last; ++row) {
    const int64_t line = topLine_ + row;
    const int y = row * lineHeight_;
    if (line >= lineCount_ || !source_) continue;
    if (line == cursorLine_ && hasFocus())
      painter.fillRect(0, y, viewport()->width(), lineHeight_, QColor(232, 240, 255));
    const TLine texts = LineTexts(line);
    const int base = y + 1 + fm.ascent();
    // Each character in its own cell, so the columns stay aligned whatever the font.
    auto draw = [&](const QString& text, int x, const QColor& colour) {
      painter.setPen(colour);
      for (int i = 0; i < text.size(); ++i)
        if (text[i] != ' ') painter.drawText(x + i * charWidth_, base, QString(text[i]));
    };
    if (showAddress_) draw(texts.Address, 0, AddressColor);
    draw(texts.Hex, left, HexDataColor);
    if (showCharacters_) draw(texts.Chars, left + bytesPerLine_ * 3 * charWidth_, AnsiCharColor);
  }
}

}  // namespace salvex::ui
