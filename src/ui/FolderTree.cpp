#include "ui/FolderTree.h"

#include <QHeaderView>

#include <algorithm>

#include "common/StringTable.h"
#include "common/Unicode.h"
#include "devices/Model.h"

#include "salvex/StringIds.h"
#include "ui/Icons.h"

namespace salvex::ui {

TFolderTree::TFolderTree(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  header()->setStretchLastSection(false);
}

void TFolderTree::Clear() {
  clear();
  nodes_.clear();
}

TSpecialNodes TFolderTree::ShowVolume(TCustomDrive& drive, TStatusDialog* status) {
  Clear();
  TSpecialNodes nodes;
  if (!drive.HasSpecialFolders()) return nodes;
  for (auto* f : {drive.RootFolder.get(), drive.DeletedFolder.get(), drive.LostFolder.get(), drive.SearchFolder.get()})
    f->SetTreeBuilt(false, true);
  drive.LoadSpecialFolders(status);
  auto top = [&](TTreeKind kind, int text, int image, TCustomDirectory* folder) {
    TTreeNode* node = AddChild(nullptr, LoadText(text), image, folder);
    SetHasChildren(node, drive.TopMayHaveSubfolders(kind));
    return node;
  };
  nodes.Root = top(TTreeKind::Root, txt::FolderRoot, 0, drive.RootFolder.get());
  nodes.Deleted = top(TTreeKind::Deleted, txt::FolderDeleted, 2, drive.DeletedFolder.get());
  nodes.Lost = top(TTreeKind::Lost, txt::FolderLost, 3, drive.LostFolder.get());
  nodes.Search = top(TTreeKind::Search, txt::FolderSearched, 4, drive.SearchFolder.get());
  return nodes;
}

void TFolderTree::AddFolderNodes(TTreeNode* node, bool deletedMode) {
  auto* folder = node ? AsFolder(node->Object) : nullptr;
  if (!folder || folder->TreeBuilt) return;
  BeginUpdate();
  try {
    folder->LoadListing(deletedMode);
    if (folder->Children) {
      for (auto& child : *folder->Children) {
        auto* d = child->AsFolder();
        if (!d) continue;
        TTreeNode* n = AddChild(node, d->TreeName(), (d->Flags & ItemDeleted) ? 6 : 0, d);
        SetHasChildren(n, d->MayHaveSubfolders(deletedMode));
      }
      SortChildren(node);
      folder->TreeBuilt = true;
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

TTreeNode* TFolderTree::AddChild(TTreeNode* parent, const std::string& text, int image, TItem* object) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(text)});
  item->setIcon(0, ImageIcon(image));
  item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  if (QTreeWidgetItem* parentItem = ItemOf(parent))
    parentItem->addChild(item);
  else
    addTopLevelItem(item);
  auto node = std::make_unique<Node>();
  node->Object = object;
  node->Item = item;
  Node* raw = node.get();
  nodes_[item] = std::move(node);
  return raw;
}

void TFolderTree::SetHasChildren(TTreeNode* node, bool value) {
  if (QTreeWidgetItem* item = ItemOf(node))
    item->setChildIndicatorPolicy(value ? QTreeWidgetItem::ShowIndicator
                                        : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TFolderTree::SortChildren(TTreeNode* parent) {
  QTreeWidgetItem* item = ItemOf(parent);
  if (!item) return;
  item->sortChildren(0, Qt::AscendingOrder);
  // Lost folders are named after their clusters: those sort by number, not by text.
  QList<QTreeWidgetItem*> children = item->takeChildren();
  auto lost = [this](QTreeWidgetItem* child) {
    const TTreeNode* node = NodeOf(child);
    return node && node->Object && BothLost(*node->Object, *node->Object);
  };
  if (!children.isEmpty() && std::all_of(children.begin(), children.end(), lost))
    std::stable_sort(children.begin(), children.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
      return CompareNamesNatural(a->text(0).toStdString(), b->text(0).toStdString()) < 0;
    });
  item->addChildren(children);
}

void TFolderTree::BeginUpdate() {
  if (updateDepth_++ == 0) setUpdatesEnabled(false);
}

void TFolderTree::EndUpdate() {
  if (updateDepth_ > 0 && --updateDepth_ == 0) setUpdatesEnabled(true);
}

TTreeNode* TFolderTree::NodeOf(QTreeWidgetItem* item) const {
  auto it = nodes_.find(item);
  return it == nodes_.end() ? nullptr : it->second.get();
}

QTreeWidgetItem* TFolderTree::ItemOf(TTreeNode* node) const { return node ? static_cast<Node*>(node)->Item : nullptr; }

TTreeNode* TFolderTree::ParentNode(TTreeNode* node) const {
  QTreeWidgetItem* item = ItemOf(node);
  return item ? NodeOf(item->parent()) : nullptr;
}

bool TFolderTree::IsAtOrBelow(TTreeNode* node, TTreeNode* top) const {
  if (!top) return false;
  for (TTreeNode* n = node; n; n = ParentNode(n))
    if (n == top) return true;
  return false;
}

void TFolderTree::SetImage(TTreeNode* node, int image) {
  if (QTreeWidgetItem* item = ItemOf(node)) item->setIcon(0, ImageIcon(image));
}

void TFolderTree::Forget(QTreeWidgetItem* item) {
  for (int i = 0; i < item->childCount(); ++i) Forget(item->child(i));
  nodes_.erase(item);
}

void TFolderTree::RemoveChildren(TTreeNode* node) {
  QTreeWidgetItem* item = ItemOf(node);
  if (!item) return;
  for (QTreeWidgetItem* child : item->takeChildren()) {
    Forget(child);
    delete child;
  }
}

TTreeNode* TFolderTree::SelectedNode() const {
  const auto items = selectedItems();
  return items.isEmpty() ? nullptr : NodeOf(items.first());
}

void TFolderTree::SelectNode(TTreeNode* node) {
  if (QTreeWidgetItem* item = ItemOf(node)) setCurrentItem(item);
}

}  // namespace salvex::ui
