#include "ui/FileListModel.h"

#include <QDateTime>
#include <QItemSelectionModel>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <set>

#include "devices/Model.h"
#include "common/StringTable.h"
#include "ui/Icons.h"

namespace salvex::ui {

namespace {
// Rows kept filled; a screenful is a few dozen, so this only bounds memory for huge folders.
constexpr size_t kRowsKept = 4096;
}  // namespace

QString LocalizedCell(const std::string& text, TCellKind kind) {
  const QString cell = QString::fromStdString(text);
  switch (kind) {
    case TCellKind::Size: {
      bool ok = false;
      const qulonglong n = cell.toULongLong(&ok);
      return ok ? QLocale().toString(n) : cell;
    }
    case TCellKind::Modified: {
      // The volume's "DD.MM.YYYY hh:mm"; day or month 0 is no date at all (files found by
      // their content have none).
      static const QRegularExpression stamp(R"(^(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d)$)");
      const QRegularExpressionMatch m = stamp.match(cell);
      if (!m.hasMatch()) return cell;
      const QDate date(m.captured(3).toInt(), m.captured(2).toInt(), m.captured(1).toInt());
      const QTime time(m.captured(4).toInt(), m.captured(5).toInt());
      if (!date.isValid()) return QString();
      return QLocale().toString(QDateTime(date, time.isValid() ? time : QTime(0, 0)), QLocale::ShortFormat);
    }
    case TCellKind::Other: break;
  }
  return cell;
}

TFileListModel::TFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void TFileListModel::ClearColumns() {
  beginResetModel();
  columns_.clear();
  kinds_.clear();
  rows_.clear();
  endResetModel();
}

void TFileListModel::AddColumn(const TListColumn& column) {
  const int at = int(columns_.size());
  beginInsertColumns({}, at, at);
  columns_.push_back(column);
  kinds_.push_back(column.Caption == LoadText(722)   ? TCellKind::Size
                   : column.Caption == LoadText(723) ? TCellKind::Modified
                                                     : TCellKind::Other);
  endInsertColumns();
}

void TFileListModel::SetSource(TCustomDirectory* folder) {
  beginResetModel();
  source_ = folder;
  count_ = 0;
  rows_.clear();
  endResetModel();
}

void TFileListModel::SetItemCount(size_t count) {
  beginResetModel();
  count_ = count;
  rows_.clear();
  endResetModel();
}

std::vector<size_t> TFileListModel::SelectedRows() const {
  std::set<size_t> rows;
  if (selection_)
    for (const QModelIndex& index : selection_->selectedIndexes())
      if (index.row() >= 0 && size_t(index.row()) < count_) rows.insert(size_t(index.row()));
  return {rows.begin(), rows.end()};
}

void TFileListModel::SetSort(int column, bool descending) {
  sortColumn_ = column;
  sortDescending_ = descending;
}

void TFileListModel::EndListUpdate() {
  if (updateDepth_ > 0) --updateDepth_;
}

void TFileListModel::Refresh() {
  rows_.clear();
  if (count_ > 0 && !columns_.empty()) emit dataChanged(index(0, 0), index(int(count_) - 1, int(columns_.size()) - 1));
}

const TListItem* TFileListModel::Row(int row) const {
  if (updateDepth_ > 0 || !source_ || !source_->Children || row < 0 || size_t(row) >= count_ ||
      size_t(row) >= source_->Children->size())
    return nullptr;
  auto it = rows_.find(row);
  if (it != rows_.end()) return &it->second;
  if (rows_.size() >= kRowsKept) rows_.clear();
  TListItem& item = rows_[row];
  source_->FillChildListItem(item, size_t(row));
  return &item;
}

TItem* TFileListModel::ObjectAt(int row) const {
  if (!source_ || !source_->Children || row < 0 || size_t(row) >= source_->Children->size()) return nullptr;
  return (*source_->Children)[size_t(row)].get();
}

int TFileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(count_); }

int TFileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(columns_.size()); }

QVariant TFileListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  const TListItem* item = Row(index.row());
  if (!item) return {};
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::ToolTipRole: {
      if (column == 0) return QString::fromStdString(item->Caption);
      const size_t sub = size_t(column - 1);
      return sub < item->SubItems.size() ? LocalizedCell(item->SubItems[sub], kinds_[size_t(column)]) : QString();
    }
    case Qt::DecorationRole:
      if (column == 0 && item->ImageIndex >= 0) return ImageIcon(item->ImageIndex);
      return {};
    case Qt::TextAlignmentRole:
      if (size_t(column) < columns_.size() && columns_[size_t(column)].RightAligned)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
      return {};
    default: return {};
  }
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || size_t(section) >= columns_.size()) return {};
  if (role == Qt::DisplayRole) return QString::fromStdString(columns_[size_t(section)].Caption);
  if (role == Qt::UserRole) return columns_[size_t(section)].Width;
  if (role == Qt::TextAlignmentRole && columns_[size_t(section)].RightAligned)
    return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
  return {};
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  if (index.column() == 0 && Renamer) f |= Qt::ItemIsEditable;
  return f;
}

bool TFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || index.column() != 0 || !Renamer) return false;
  TItem* object = ObjectAt(index.row());
  if (!object || !Renamer(object, value.toString())) return false;
  rows_.erase(index.row());
  emit dataChanged(index, index);
  return true;
}

}  // namespace salvex::ui
