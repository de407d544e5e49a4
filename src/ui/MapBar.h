#pragma once
#include <QWidget>
#include <vector>

#include "disk/RescueMap.h"

class QLabel;

namespace salvex::ui {

// A rescue map drawn as one bar of the disk, each status in its colour (rescued green, non-tried
// grey, non-trimmed yellow, non-scraped blue, bad red), with a legend beneath.
class TMapBar : public QWidget {
  Q_OBJECT
 public:
  explicit TMapBar(QWidget* parent = nullptr);
  void SetMap(const TRescueMap& map);
  void Clear();
  bool HasMap() const { return size_ > 0; }

  // The status drawn in each of `columns` columns: the worst one of the bytes it stands for, so
  // that a single bad sector of a large disk still shows.
  std::vector<char> Columns(int columns) const;
  static QColor StatusColor(char status);
  // The bar's own area (without the legend).
  QWidget* Bar() const { return bar_; }

 private:
  class TBarArea;
  QWidget* bar_ = nullptr;  // a TBarArea
  std::vector<TRescueBlock> blocks_;
  uint64_t size_ = 0;
};

}  // namespace salvex::ui
