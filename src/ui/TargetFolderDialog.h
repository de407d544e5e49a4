#pragma once
#include <QDialog>
#include <string>
#include <vector>

class QComboBox;
class QFileSystemModel;
class QInputDialog;
class QLabel;
class QTreeView;

namespace salvex::ui {

// The target folder dialog of a save: a folder tree of the machine, the chosen path, the
// notice to save elsewhere, the FAT choice when the volume has one, and a new-folder prompt.
class TTargetFolderDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TTargetFolderDialog(QWidget* parent = nullptr);

  // folder: the proposal on entry (may be empty) and the choice, ending in '/', on return.
  // fatItems empty: no FAT choice is shown. False on Cancel.
  bool Run(std::string& folder, const std::vector<std::string>& fatItems, int& fatChoice);

  // Fills the dialog as Run does, without showing it.
  void Prepare(const std::string& folder, const std::vector<std::string>& fatItems, int fatChoice);
  void SetFolder(const QString& path);
  // The chosen folder, ending in '/'; empty when none is chosen.
  QString Folder() const;
  // Creates the folder `name` inside the chosen one and chooses it; a name that is empty,
  // "." or "..", or holds '/', is refused like a folder that cannot be made.
  bool CreateFolder(const QString& name);
  QComboBox* FATBox() const { return fat_; }
  // The new-folder prompt over the chosen folder, ready to run; null when none is chosen.
  QInputDialog* NewFolderPrompt();

 private:
  void NewFolderClicked();
  void ShowPath();

  QInputDialog* prompt_ = nullptr;
  QFileSystemModel* model_ = nullptr;
  QTreeView* tree_ = nullptr;
  QLabel* path_ = nullptr;
  QLabel* fatLabel_ = nullptr;
  QLabel* fatNote_ = nullptr;
  QComboBox* fat_ = nullptr;
  QString folder_;
};

}  // namespace salvex::ui
