#pragma once
#include <QTreeWidget>
#include <memory>
#include <unordered_map>

#include <string>

namespace salvex {

class TCustomDrive;
class TItem;
class TStatusDialog;

// A node of the folder tree; it carries its folder.
class TTreeNode {
 public:
  virtual ~TTreeNode() = default;
  TItem* Object = nullptr;
};

// The top nodes of a volume's tree.
struct TSpecialNodes {
  TTreeNode* Root = nullptr;
  TTreeNode* Deleted = nullptr;
  TTreeNode* Lost = nullptr;
  TTreeNode* Search = nullptr;
};

}  // namespace salvex

namespace salvex::ui {

// The folder tree of the open volume, built from its folders as they are opened.
class TFolderTree : public QTreeWidget {
  Q_OBJECT
 public:
  explicit TFolderTree(QWidget* parent = nullptr);

  void Clear();
  // Empties the tree and adds the volume's four top nodes (NTFS's deleted search runs here).
  TSpecialNodes ShowVolume(TCustomDrive& drive, TStatusDialog* status);
  // Adds the subfolders of node's folder once, in the deleted view or not. Throws what reading
  // the folder throws.
  void AddFolderNodes(TTreeNode* node, bool deletedMode);

  // parent nullptr adds a top-level node.
  TTreeNode* AddChild(TTreeNode* parent, const std::string& text, int image, TItem* object);
  void SetHasChildren(TTreeNode* node, bool value);
  // Alphabetical by text; lost folders by their numbers.
  void SortChildren(TTreeNode* parent);
  void BeginUpdate();
  void EndUpdate();

  TTreeNode* NodeOf(QTreeWidgetItem* item) const;
  QTreeWidgetItem* ItemOf(TTreeNode* node) const;
  TTreeNode* ParentNode(TTreeNode* node) const;
  // Whether node is top or lies below it.
  bool IsAtOrBelow(TTreeNode* node, TTreeNode* top) const;
  void SetImage(TTreeNode* node, int image);
  // Deletes the child nodes of node (search results and lost data are rebuilt this way).
  void RemoveChildren(TTreeNode* node);
  TTreeNode* SelectedNode() const;
  void SelectNode(TTreeNode* node);

 private:
  struct Node : TTreeNode {
    QTreeWidgetItem* Item = nullptr;
  };
  void Forget(QTreeWidgetItem* item);
  std::unordered_map<const QTreeWidgetItem*, std::unique_ptr<Node>> nodes_;
  int updateDepth_ = 0;
};

}  // namespace salvex::ui
