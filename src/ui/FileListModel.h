#pragma once
#include <QAbstractTableModel>
#include <functional>
#include <unordered_map>
#include <vector>

#include "common/Host.h"

class QItemSelectionModel;

namespace salvex::ui {

// What a column's cells hold, for showing them in the chosen language's way.
enum class TCellKind { Other, Size, Modified };
// A cell as the volume wrote it, in the language's number and date formats; a date of day or
// month 0 (none was stored) shows as nothing.
QString LocalizedCell(const std::string& text, TCellKind kind);

// The virtual file list: a table over the children of the folder shown, whose rows the folder
// fills on demand (FillChildListItem); the model keeps only the rows recently asked for.
class TFileListModel : public QAbstractTableModel, public TListView {
  Q_OBJECT
 public:
  explicit TFileListModel(QObject* parent = nullptr);

  // TListView
  void ClearColumns() override;
  void AddColumn(const TListColumn& column) override;
  void SetSource(TCustomDirectory* folder) override;
  TCustomDirectory* Source() const override { return source_; }
  void SetItemCount(size_t count) override;
  std::vector<size_t> SelectedRows() const override;
  int SortColumn() const override { return sortColumn_; }
  bool SortDescending() const override { return sortDescending_; }

  void SetSelectionModel(QItemSelectionModel* selection) { selection_ = selection; }
  void SetSort(int column, bool descending);
  // While an update is open, row requests answer nothing (the folder's children are changing).
  void BeginListUpdate() { ++updateDepth_; }
  void EndListUpdate();
  int UpdateDepth() const { return updateDepth_; }
  // Forgets the rows filled so far (after a rename or a settings change), and redraws.
  void Refresh();
  // The object of a row, or nullptr.
  TItem* ObjectAt(int row) const;
  // Renames the object of a row; answers whether the name was taken.
  std::function<bool(TItem* object, const QString& name)> Renamer;

  // headerData with Qt::UserRole answers the column's designed width in pixels.
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 private:
  const TListItem* Row(int row) const;

  std::vector<TListColumn> columns_;
  std::vector<TCellKind> kinds_;
  TCustomDirectory* source_ = nullptr;
  size_t count_ = 0;
  QItemSelectionModel* selection_ = nullptr;
  int sortColumn_ = 0;
  bool sortDescending_ = false;
  int updateDepth_ = 0;
  mutable std::unordered_map<int, TListItem> rows_;
};

}  // namespace salvex::ui
