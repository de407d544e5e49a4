#include "ui/MapBar.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>

#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

constexpr char kStatuses[] = {RescueFinished, RescueNonTried, RescueNonTrimmed, RescueNonScraped, RescueBadSector};

// Higher is worse: the status a column shows when it holds several.
int Severity(char status) {
  switch (status) {
    case RescueFinished: return 0;
    case RescueNonTried: return 1;
    case RescueNonTrimmed: return 2;
    case RescueNonScraped: return 3;
    default: return 4;
  }
}

}  // namespace

class TMapBar::TBarArea : public QWidget {
 public:
  explicit TBarArea(TMapBar* owner) : QWidget(owner), owner_(owner) {
    setMinimumSize(200, 22);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(area, palette().window());
    const std::vector<char> columns = owner_->Columns(area.width() - 1);
    for (int x = 0; x < int(columns.size()); ++x) {
      painter.setPen(StatusColor(columns[size_t(x)]));
      painter.drawLine(area.left() + 1 + x, area.top() + 1, area.left() + 1 + x, area.bottom() - 1);
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area);
  }

 private:
  TMapBar* owner_;
};

TMapBar::TMapBar(QWidget* parent) : QWidget(parent) {
  bar_ = new TBarArea(this);
  auto* legend = new QHBoxLayout;
  legend->setSpacing(4);
  for (int i = 0; i < 5; ++i) {
    auto* swatch = new QLabel(this);
    swatch->setFixedSize(12, 12);
    swatch->setStyleSheet(QString("background: %1; border: 1px solid gray;").arg(StatusColor(kStatuses[i]).name()));
    legend->addWidget(swatch);
    legend->addWidget(Tagged(new QLabel(Text(txt::MapRescued + i), this), txt::MapRescued + i));
    legend->addSpacing(8);
  }
  legend->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(bar_);
  layout->addLayout(legend);
}

void TMapBar::SetMap(const TRescueMap& map) {
  blocks_ = map.Blocks();
  size_ = map.Size();
  bar_->update();
}

void TMapBar::Clear() {
  blocks_.clear();
  size_ = 0;
  bar_->update();
}

std::vector<char> TMapBar::Columns(int columns) const {
  std::vector<char> out;
  if (columns <= 0 || size_ == 0) return out;
  out.assign(size_t(columns), RescueFinished);
  auto column = [&](uint64_t pos) {
    return size_t(std::min<long double>(columns - 1, (long double)pos * columns / (long double)size_));
  };
  for (const TRescueBlock& b : blocks_) {
    if (b.Size == 0) continue;
    for (size_t c = column(b.Pos), last = column(b.End() - 1); c <= last; ++c)
      if (Severity(b.Status) > Severity(out[c])) out[c] = b.Status;
  }
  return out;
}

QColor TMapBar::StatusColor(char status) {
  switch (status) {
    case RescueFinished: return QColor(0x3c, 0xb0, 0x43);
    case RescueNonTried: return QColor(0xb8, 0xb8, 0xb8);
    case RescueNonTrimmed: return QColor(0xf0, 0xc0, 0x20);
    case RescueNonScraped: return QColor(0x40, 0x80, 0xe0);
    default: return QColor(0xd8, 0x30, 0x30);
  }
}

}  // namespace salvex::ui
