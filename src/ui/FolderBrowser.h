#pragma once
#include <QWidget>
#include <functional>

#include "ui/FolderTree.h"

class QItemSelectionModel;
class QLabel;
class QListView;
class QModelIndex;
class QStackedWidget;
class QTimer;
class QTreeView;
class QTreeWidgetItem;

namespace salvex {
class TCustomDirectory;
class TCustomDrive;
class TStatusDialog;
}  // namespace salvex

namespace salvex::ui {

class TFileListModel;

// The main window's browser page: the open volume's folder tree beside the virtual file list
// (details or icons), kept in step: a folder chosen in the tree fills the list, a folder opened
// in the list is chosen in the tree.
class TFolderBrowser : public QWidget {
  Q_OBJECT
 public:
  explicit TFolderBrowser(QWidget* parent = nullptr);

  // Builds the volume's tree (its special folders' scans run here) and the list's columns.
  void ShowVolume(TCustomDrive& drive, TStatusDialog& status);
  // Empties the tree and the list.
  void Forget();
  // Fills the list from the folder of node (at once, without the selection pause).
  void ShowFolder(TTreeNode* node);
  // Chooses node in the tree and shows its folder.
  void SelectAndShow(TTreeNode* node);
  // After a search rebuilt a special folder: its node anew, chosen, opened and shown.
  void ShowRebuilt(TTreeNode* top, TCustomDirectory& folder);
  void SortBy(int column, bool descending);
  void ParentDir();
  void Rename();
  void SelectAll();
  void InvertSelection();
  // 0 large icons, 1 small icons, 2 list, 3 details.
  void SetListStyle(int style);
  void SetListFont(const QFont& font);
  // The list caption names the folder shown.
  void UpdateCaption();

  bool DeletedMode(TTreeNode* node) const;
  TItem* SingleSelected() const;
  TCustomDirectory* CurrentFolder() const;
  TTreeNode* CurrentNode() const { return currentNode_; }
  const TSpecialNodes& SpecialNodes() const { return special_; }
  TFolderTree* Tree() const { return tree_; }
  TFileListModel* ListModel() const { return model_; }
  QItemSelectionModel* Selection() const { return selection_; }
  QLabel* TreeCaption() const { return treeCaption_; }
  QLabel* ListCaption() const { return listCaption_; }
  QTreeView* DetailsView() const { return details_; }

  // A folder was shown or sorted (the status bar follows).
  std::function<void()> FolderShown;
  std::function<void()> SelectionChanged;
  // The list's context menu, at a global position.
  std::function<void(const QPoint& at)> ContextMenu;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void TreeSelectionChanged();
  void TreeExpanded(QTreeWidgetItem* item);
  void TreeCollapsed(QTreeWidgetItem* item);
  void TreeItemChanged(QTreeWidgetItem* item);
  void ListActivated(const QModelIndex& index);
  void HeaderClicked(int column);
  bool RenameObject(TItem* object, const QString& name);
  bool IsTop(TTreeNode* node) const;

  TFolderTree* tree_ = nullptr;
  QLabel* treeCaption_ = nullptr;
  QLabel* listCaption_ = nullptr;
  QStackedWidget* listViews_ = nullptr;
  QTreeView* details_ = nullptr;
  QListView* icons_ = nullptr;
  TFileListModel* model_ = nullptr;
  QItemSelectionModel* selection_ = nullptr;
  QTimer* treeTimer_ = nullptr;
  TSpecialNodes special_;
  TTreeNode* currentNode_ = nullptr;
  QTreeWidgetItem* renaming_ = nullptr;
  bool columnsFitted_ = false;
};

}  // namespace salvex::ui
