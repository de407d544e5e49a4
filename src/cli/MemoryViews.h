#pragma once
#include <memory>
#include <vector>

#include "common/Host.h"
#include "devices/Model.h"

namespace salvex::cli {

// Tree and list ports held in memory: how the command line (and tests) drive the volume model
// the way the desktop's widgets do.
class TMemTree : public TTreeView {
 public:
  void Clear() override { nodes_.clear(); }
  TTreeNode* AddChild(TTreeNode*, const std::string&, int, TItem* object) override {
    nodes_.push_back(std::make_unique<TTreeNode>());
    nodes_.back()->Object = object;
    return nodes_.back().get();
  }
  void SetHasChildren(TTreeNode*, bool) override {}
  void SortChildren(TTreeNode*) override {}

 private:
  std::vector<std::unique_ptr<TTreeNode>> nodes_;
};

class TMemList : public TListView {
 public:
  TMemList() = default;
  // A list of the folder's children with every row selected.
  static TMemList AllOf(TCustomDirectory& folder) {
    TMemList list;
    list.SetSource(&folder);
    list.SelectAll = true;
    return list;
  }

  std::vector<TListColumn> Columns;
  std::vector<size_t> Selected;
  bool SelectAll = false;  // every child of the source counts as selected
  size_t Count = 0;

  void ClearColumns() override { Columns.clear(); }
  void AddColumn(const TListColumn& column) override { Columns.push_back(column); }
  void SetSource(TCustomDirectory* folder) override {
    source_ = folder;
    Count = 0;
    Selected.clear();
  }
  TCustomDirectory* Source() const override { return source_; }
  void SetItemCount(size_t count) override { Count = count; }
  std::vector<size_t> SelectedRows() const override {
    if (!SelectAll) return Selected;
    size_t n = source_ && source_->Children ? source_->Children->size() : 0;
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i) rows[i] = i;
    return rows;
  }

 private:
  TCustomDirectory* source_ = nullptr;
};

}  // namespace salvex::cli
