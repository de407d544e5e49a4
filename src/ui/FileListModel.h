#pragma once
#include <QAbstractTableModel>
#include <functional>
#include <unordered_map>
#include <vector>

#include "devices/Model.h"

class QItemSelectionModel;

namespace salvex::ui {

// What a column's cells hold, for showing them in the chosen language's way.
enum class TCellKind { Other, Size, Modified };
// A cell as the volume wrote it, in the language's number and date formats; a date of day or
// month 0 (none was stored) shows as nothing.
QString LocalizedCell(const std::string& text, TCellKind kind);

// The virtual file list: a table over the children of the folder shown, whose rows the folder
// describes on demand (ListRow); the model keeps only the rows recently asked for. Sorting
// reorders the folder's own children, so that a row number names the same item everywhere.
class TFileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit TFileListModel(QObject* parent = nullptr);

  void ClearColumns();
  // The volume's columns, as its ListColumns describes them.
  void SetColumns(const std::vector<TListColumn>& columns);
  // Empties the list and names the folder whose rows it shows (none yet).
  void SetSource(TCustomDirectory* folder);
  TCustomDirectory* Source() const { return source_; }
  // Shows the children of `folder` (read in the deleted view or not, when not read yet) in the
  // chosen order. Throws what reading the folder throws.
  void ShowFolder(TCustomDirectory& folder, bool deletedMode);
  void SetItemCount(size_t count);
  std::vector<size_t> SelectedRows() const;
  int SortColumn() const { return sortColumn_; }
  bool SortDescending() const { return sortDescending_; }

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
  const TListRow* Row(int row) const;
  // Orders the children of the folder shown by the sort column, as its volume orders listings.
  void SortSource();

  std::vector<TListColumn> columns_;
  std::vector<TCellKind> kinds_;
  TCustomDirectory* source_ = nullptr;
  size_t count_ = 0;
  QItemSelectionModel* selection_ = nullptr;
  int sortColumn_ = 0;
  bool sortDescending_ = false;
  int updateDepth_ = 0;
  mutable std::unordered_map<int, TListRow> rows_;
};

// The items of the selected rows, in row order.
std::vector<TItem*> SelectedObjects(const TFileListModel& model);

}  // namespace salvex::ui
