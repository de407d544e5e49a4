#pragma once
#include <QTreeWidget>
#include <memory>
#include <unordered_map>

#include "common/Host.h"

namespace salvex::ui {

// The folder tree: the volume model adds its nodes through the tree port; every node carries
// its folder.
class TFolderTree : public QTreeWidget, public TTreeView {
  Q_OBJECT
 public:
  explicit TFolderTree(QWidget* parent = nullptr);

  // TTreeView
  void Clear() override;
  TTreeNode* AddChild(TTreeNode* parent, const std::string& text, int image, TItem* object) override;
  void SetHasChildren(TTreeNode* node, bool value) override;
  void SortChildren(TTreeNode* parent) override;
  void BeginUpdate() override;
  void EndUpdate() override;

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
