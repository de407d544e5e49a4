#include "ui/FileListModel.h"

#include <QDateTime>
#include <QItemSelectionModel>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <set>

#include "common/Unicode.h"
#include "ui/Icons.h"

namespace salvex::ui {

namespace {
// Rows kept filled; a screenful is a few dozen, so this only bounds memory for huge folders.
constexpr size_t kRowsKept = 4096;

// ASCII letters folded, then byte by byte: the order of volumes whose names are bytes.
int CompareNamesAscii(const std::string& a, const std::string& b) {
  auto lower = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
  };
  int r = lower(a).compare(lower(b));
  if (r == 0) r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
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

void TFileListModel::SetColumns(const std::vector<TListColumn>& columns) {
  ClearColumns();
  for (const TListColumn& column : columns) {
    const int at = int(columns_.size());
    beginInsertColumns({}, at, at);
    columns_.push_back(column);
    kinds_.push_back(column.Kind == TColumnKind::Size       ? TCellKind::Size
                     : column.Kind == TColumnKind::Modified ? TCellKind::Modified
                                                            : TCellKind::Other);
    endInsertColumns();
  }
}

void TFileListModel::ShowFolder(TCustomDirectory& folder, bool deletedMode) {
  SetSource(&folder);
  SetItemCount(0);
  folder.LoadListing(deletedMode);
  if (!folder.Children) return;
  SortSource();
  SetItemCount(folder.Children->size());
}

void TFileListModel::SortSource() {
  if (!source_ || !source_->Children) return;
  TChildren& children = *source_->Children;
  const TListOrder order = source_->Drive ? source_->Drive->ListOrder() : TListOrder{};
  const TColumnKind kind =
      size_t(sortColumn_) < columns_.size() ? columns_[size_t(sortColumn_)].Kind : TColumnKind::Name;
  const bool descending = sortDescending_;
  struct Entry {
    TSortKey key;
    bool folder = false;
    size_t at = 0;
  };
  std::vector<Entry> entries(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    entries[i].key = source_->SortKey(*children[i], kind == TColumnKind::Type);
    entries[i].folder = AsFolder(children[i].get()) != nullptr;
    entries[i].at = i;
  }
  auto text = [&order](const std::string& a, const std::string& b) {
    return order.AsciiFold ? CompareNamesAscii(a, b) : CompareNamesNoCase(a, b);
  };
  auto compare = [&](const Entry& a, const Entry& b) {
    if (a.folder != b.folder) return a.folder ? -1 : 1;
    auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    switch (kind) {
      case TColumnKind::Size: return cmp(a.key.Size, b.key.Size);
      case TColumnKind::Modified: return cmp(a.key.Stamp, b.key.Stamp);
      case TColumnKind::Number: return cmp(a.key.Number, b.key.Number);
      case TColumnKind::Condition: return cmp(a.key.Condition, b.key.Condition);
      case TColumnKind::Type: return text(a.key.Type, b.key.Type);
      case TColumnKind::Name: break;
    }
    return BothLost(*children[a.at], *children[b.at]) ? CompareNamesNatural(a.key.Name, b.key.Name)
                                                      : text(a.key.Name, b.key.Name);
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    const int c = compare(a, b);
    const bool kinds = a.folder != b.folder;
    return descending && !(kinds && order.FoldersFirstAlways) ? c > 0 : c < 0;
  });
  TChildren sorted;
  sorted.reserve(children.size());
  for (const Entry& e : entries) sorted.push_back(std::move(children[e.at]));
  children = std::move(sorted);
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

const TListRow* TFileListModel::Row(int row) const {
  if (updateDepth_ > 0 || !source_ || !source_->Children || row < 0 || size_t(row) >= count_ ||
      size_t(row) >= source_->Children->size())
    return nullptr;
  auto it = rows_.find(row);
  if (it != rows_.end()) return &it->second;
  if (rows_.size() >= kRowsKept) rows_.clear();
  TListRow& item = rows_[row];
  item = source_->ListRow(*(*source_->Children)[size_t(row)]);
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
  const TListRow* item = Row(index.row());
  if (!item) return {};
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::ToolTipRole: {
      if (column == 0) return QString::fromStdString(item->Caption);
      const size_t sub = size_t(column - 1);
      return sub < item->Cells.size() ? LocalizedCell(item->Cells[sub], kinds_[size_t(column)]) : QString();
    }
    case Qt::DecorationRole:
      if (column == 0) return ImageIcon(ImageOf(item->Icon));
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

std::vector<TItem*> SelectedObjects(const TFileListModel& model) {
  std::vector<TItem*> out;
  for (size_t row : model.SelectedRows())
    if (TItem* item = model.ObjectAt(int(row))) out.push_back(item);
  return out;
}

}  // namespace salvex::ui
