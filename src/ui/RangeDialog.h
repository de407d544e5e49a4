#pragma once
#include <QDialog>
#include <cstdint>

class QLineEdit;

namespace salvex::ui {

// A plain prompt for a first and a last sector or cluster; what it returns lies within
// [minimum, maximum] with first <= last.
class TRangeDialog : public QDialog {
  Q_OBJECT
 public:
  // clusters: the cluster captions and labels, else the sector ones.
  TRangeDialog(QWidget* parent, bool clusters);
  bool Execute(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum);
  // Fills the fields as Execute does, without showing the dialog.
  void Prepare(uint64_t first, uint64_t last, uint64_t maximum);

 private:
  bool clusters_;
  QLineEdit* first_ = nullptr;
  QLineEdit* last_ = nullptr;
};

}  // namespace salvex::ui
