#pragma once
#include <QDialog>
#include <cstdint>

class QGroupBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace salvex::ui {

// Narrows a long search to a range of sectors or clusters: two track bars over the whole disk or
// volume, number fields that can be typed into, and how much data the range covers.
class TRangeDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kSteps = 50;

  // clusters: the cluster captions and labels, else the sector ones. unitBytes: bytes per sector
  // or cluster, for the size shown.
  TRangeDialog(QWidget* parent, bool clusters, uint64_t unitBytes = 512);
  // Runs modally over [minimum, maximum]; true on OK with first and last as typed (unchecked). A
  // field that holds no number leaves its value; for clusters it also answers false. The sector
  // dialog starts from the caller's range, the cluster dialog from its own bars.
  bool Execute(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum);
  void SetUnitBytes(uint64_t unitBytes);
  // Fills the dialog as Execute does, without showing it.
  void Prepare(uint64_t first, uint64_t last, uint64_t minimum, uint64_t maximum);

  QSlider* StartBar() const { return startBar_; }
  QSlider* EndBar() const { return endBar_; }
  QLineEdit* StartField() const { return first_; }
  QLineEdit* EndField() const { return last_; }
  QLabel* SizeLabel() const { return size_; }
  // The size text of count units ("48.83 MB", "2.00 GB").
  static QString SizeText(uint64_t count, uint64_t unitBytes);
  // The cluster dialog's size text: whole megabytes ("4 MB").
  static QString ClusterSizeText(uint64_t count, uint64_t unitBytes);

 private:
  void StartMoved(int position);
  void EndMoved(int position);
  void UpdateSize();
  uint64_t AtPosition(int position, bool end) const;
  int PositionOf(uint64_t value) const;

  bool clusters_;
  uint64_t unit_;
  uint64_t minimum_ = 0;
  uint64_t maximum_ = 0;
  QGroupBox* startBox_ = nullptr;
  QGroupBox* endBox_ = nullptr;
  QSlider* startBar_ = nullptr;
  QSlider* endBar_ = nullptr;
  QLineEdit* first_ = nullptr;
  QLineEdit* last_ = nullptr;
  QLabel* size_ = nullptr;
};

}  // namespace salvex::ui
