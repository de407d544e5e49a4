#pragma once
#include <QDialog>
#include <cstdint>
#include <vector>

class QFormLayout;
class QLabel;
class QLineEdit;

namespace salvex {
class TItem;
}

namespace salvex::ui {

// The name, first cluster and size under which a file or folder is listed and saved. A found
// file whose entry is damaged can be given the right start and length before it is saved.
class TPropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPropertiesDialog(QWidget* parent = nullptr);

  QString Name;
  uint32_t Cluster = 0;
  uint64_t Size = 0;
  bool ClusterEnabled = true;
  // Read-only lines shown below the fields (the listing's columns, where the size came from).
  std::vector<std::pair<QString, QString>> Facts;

  // Fills the fields, runs modally, and on OK takes the fields back; text that is no number
  // keeps the old value.
  bool Run();
  // Fills the fields as Run does, without showing the dialog.
  void Prepare();
  // Takes the fields back as OK does.
  void Accept();

  QLineEdit* NameEdit() const { return name_; }
  QLineEdit* ClusterEdit() const { return cluster_; }
  QLineEdit* SizeEdit() const { return size_; }

 private:
  QLineEdit* name_ = nullptr;
  QLineEdit* cluster_ = nullptr;
  QLineEdit* size_ = nullptr;
  QFormLayout* facts_ = nullptr;
};

// What the properties dialog edits of an item, by its class; false for items it does not know.
struct TItemFields {
  QString Name;
  uint32_t Cluster = 0;
  uint64_t Size = 0;
  bool ClusterEnabled = true;
};
bool ReadItemFields(const TItem& item, TItemFields& fields);
// What the dialog shows of an item beyond the listing's columns: where a found file's size came
// from, why an ext item is poor, and whether its inode is an older copy from the journal.
std::vector<std::pair<QString, QString>> ItemFacts(const TItem& item);
// Writes the fields back; a file found through its record keeps its start (the cluster field is
// only a display there).
void WriteItemFields(TItem& item, const TItemFields& fields);

}  // namespace salvex::ui
