#include "ui/FolderBrowser.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "common/Format.h"
#include "common/Helpers.h"
#include "common/StringTable.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "recovery/SaveEngine.h"
#include "salvex/StringIds.h"
#include "ui/Commands.h"
#include "ui/FileListModel.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

// Shows the wait cursor for a scope, also when the work fails.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

// Keeps list data requests away from a folder whose children change.
struct ListUpdate {
  explicit ListUpdate(TFileListModel& m) : model(m) { model.BeginListUpdate(); }
  ~ListUpdate() { model.EndListUpdate(); }
  TFileListModel& model;
};

}  // namespace

TFolderBrowser::TFolderBrowser(QWidget* parent) : QWidget(parent) {
  auto* splitter = new QSplitter(Qt::Horizontal, this);
  auto* left = new QWidget(splitter);
  treeCaption_ = new QLabel(left);
  treeCaption_->setFrameShape(QFrame::StyledPanel);
  tree_ = new TFolderTree(left);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 0, 0, 0);
  leftLayout->setSpacing(2);
  leftLayout->addWidget(treeCaption_);
  leftLayout->addWidget(tree_);

  auto* right = new QWidget(splitter);
  listCaption_ = new QLabel(right);
  listCaption_->setFrameShape(QFrame::StyledPanel);
  listCaption_->setTextFormat(Qt::PlainText);
  model_ = new TFileListModel(this);
  model_->Renamer = [this](TItem* object, const QString& name) { return RenameObject(object, name); };
  details_ = new QTreeView(right);
  details_->setModel(model_);
  details_->setRootIsDecorated(false);
  details_->setUniformRowHeights(true);
  details_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  details_->setSelectionBehavior(QAbstractItemView::SelectRows);
  details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  details_->setContextMenuPolicy(Qt::CustomContextMenu);
  details_->header()->setSectionsClickable(true);
  details_->header()->setSortIndicatorShown(true);
  selection_ = details_->selectionModel();
  model_->SetSelectionModel(selection_);
  icons_ = new QListView(right);
  icons_->setModel(model_);
  icons_->setSelectionModel(selection_);
  icons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  icons_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  icons_->setContextMenuPolicy(Qt::CustomContextMenu);
  icons_->setUniformItemSizes(true);
  listViews_ = new QStackedWidget(right);
  listViews_->addWidget(details_);
  listViews_->addWidget(icons_);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(2);
  rightLayout->addWidget(listCaption_);
  rightLayout->addWidget(listViews_);
  splitter->addWidget(left);
  splitter->addWidget(right);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({220, 680});
  (new QVBoxLayout(this))->addWidget(splitter);
  layout()->setContentsMargins(4, 4, 4, 4);

  treeTimer_ = new QTimer(this);
  treeTimer_->setSingleShot(true);
  treeTimer_->setInterval(100);
  connect(treeTimer_, &QTimer::timeout, this, &TFolderBrowser::TreeSelectionChanged);
  // Quick changes (arrow keys held down) fill the list once, for the last node.
  connect(tree_, &QTreeWidget::currentItemChanged, treeTimer_, qOverload<>(&QTimer::start));
  // A click on the node already current changes nothing for currentItemChanged, yet the list must
  // show that node's folder (after a second volume opened, Root is current with an empty list).
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    TTreeNode* node = tree_->NodeOf(item);
    if (!node || node == currentNode_) return;
    treeTimer_->stop();
    ShowFolder(node);
  });
  tree_->installEventFilter(this);
  connect(tree_, &QTreeWidget::itemExpanded, this, &TFolderBrowser::TreeExpanded);
  connect(tree_, &QTreeWidget::itemCollapsed, this, &TFolderBrowser::TreeCollapsed);
  connect(tree_, &QTreeWidget::itemChanged, this, &TFolderBrowser::TreeItemChanged);
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
    connect(view, &QAbstractItemView::activated, this, &TFolderBrowser::ListActivated);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
      if (ContextMenu) ContextMenu(view->viewport()->mapToGlobal(at));
    });
    view->installEventFilter(this);
  }
  connect(selection_, &QItemSelectionModel::selectionChanged, this, [this] {
    if (SelectionChanged) SelectionChanged();
  });
  connect(details_->header(), &QHeaderView::sectionClicked, this, &TFolderBrowser::HeaderClicked);
}

void TFolderBrowser::ShowVolume(TCustomDrive& drive, TStatusDialog& status) {
  model_->SetSource(nullptr);
  model_->SetSort(0, false);
  tree_->Clear();
  status.Setup(LoadText(txt::DeterminingFiles), LoadText(txt::DeterminingPleaseWait), "", "", "", true, false);
  status.Show();
  QApplication::processEvents();
  {
    WaitCursor wait;
    special_ = tree_->ShowVolume(drive, &status);
  }
  for (TTreeNode* node : {special_.Root, special_.Lost, special_.Deleted, special_.Search})
    if (QTreeWidgetItem* item = tree_->ItemOf(node)) item->setExpanded(false);
  currentNode_ = nullptr;
  status.Hide();
  model_->ClearColumns();
  model_->SetColumns(drive.ListColumns());
  // Column widths as the volume designs them, scaled from 96 dots per inch.
  const double scale = logicalDpiX() / 96.0;
  for (int c = 0; c < model_->columnCount(); ++c)
    details_->header()->resizeSection(c, int(model_->headerData(c, Qt::Horizontal, Qt::UserRole).toInt() * scale));
  details_->header()->setSortIndicator(0, Qt::AscendingOrder);
  columnsFitted_ = false;
}

void TFolderBrowser::Forget() {
  treeTimer_->stop();
  model_->SetSource(nullptr);
  model_->ClearColumns();
  tree_->Clear();
  currentNode_ = nullptr;
  special_ = {};
}

bool TFolderBrowser::DeletedMode(TTreeNode* node) const { return tree_->IsAtOrBelow(node, special_.Deleted); }

bool TFolderBrowser::IsTop(TTreeNode* node) const {
  return node == special_.Deleted || node == special_.Lost || node == special_.Search || node == special_.Root;
}

TCustomDirectory* TFolderBrowser::CurrentFolder() const {
  return currentNode_ ? AsFolder(currentNode_->Object) : nullptr;
}

TItem* TFolderBrowser::SingleSelected() const {
  const auto rows = model_->SelectedRows();
  return rows.size() == 1 ? model_->ObjectAt(int(rows.front())) : nullptr;
}

void TFolderBrowser::TreeSelectionChanged() {
  if (!tree_->isVisible()) return;
  TTreeNode* node = tree_->SelectedNode();
  if (node) ShowFolder(node);
}

void TFolderBrowser::ShowFolder(TTreeNode* node) {
  auto* folder = node ? AsFolder(node->Object) : nullptr;
  if (!folder) {
    model_->SetSource(nullptr);
    return;
  }
  {
    WaitCursor wait;
    ListUpdate update(*model_);
    currentNode_ = node;
    model_->ShowFolder(*folder, DeletedMode(node));
  }
  if (!columnsFitted_ && model_->rowCount() > 0) {
    // The designed widths are a minimum; dates and long names get the room they need.
    columnsFitted_ = true;
    // The last column too: stretched to the window's edge it would cut long type names.
    QHeaderView* header = details_->header();
    header->setStretchLastSection(false);
    for (int c = 0; c < model_->columnCount(); ++c)
      header->resizeSection(c, std::max({header->sectionSize(c), header->sectionSizeHint(c),
                                         static_cast<QAbstractItemView*>(details_)->sizeHintForColumn(c)}));
  }
  if (FolderShown) FolderShown();
}

void TFolderBrowser::SelectAndShow(TTreeNode* node) {
  tree_->SelectNode(node);
  treeTimer_->stop();
  ShowFolder(node);
}

void TFolderBrowser::ShowRebuilt(TTreeNode* top, TCustomDirectory& folder) {
  tree_->RemoveChildren(top);
  tree_->SetHasChildren(top, folder.HasSubdirectories());
  QTreeWidgetItem* item = tree_->ItemOf(top);
  item->setExpanded(false);
  tree_->SelectNode(top);
  tree_->setFocus();
  item->setExpanded(true);
  treeTimer_->stop();
  ShowFolder(top);
}

void TFolderBrowser::TreeExpanded(QTreeWidgetItem* item) {
  TTreeNode* node = tree_->NodeOf(item);
  auto* folder = node ? AsFolder(node->Object) : nullptr;
  if (!folder) return;
  {
    WaitCursor wait;
    try {
      tree_->AddFolderNodes(node, DeletedMode(node));
    } catch (const std::exception& e) {
      Host().MessageBox(std::string("Error: ") + e.what(), "Error", TMsgButtons::Ok, TMsgIcon::Error);
    }
  }
  if (IsTop(node)) return;
  tree_->SetImage(node, (folder->Flags & ItemDeleted) ? 7 : 1);
}

void TFolderBrowser::TreeCollapsed(QTreeWidgetItem* item) {
  TTreeNode* node = tree_->NodeOf(item);
  auto* folder = node ? AsFolder(node->Object) : nullptr;
  if (!folder || IsTop(node)) return;
  tree_->SetImage(node, (folder->Flags & ItemDeleted) ? 6 : 0);
}

void TFolderBrowser::TreeItemChanged(QTreeWidgetItem* item) {
  if (item != renaming_) return;
  renaming_ = nullptr;
  item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  TTreeNode* node = tree_->NodeOf(item);
  if (auto* folder = node ? AsFolder(node->Object) : nullptr)
    folder->Rename(item->text(0).toStdString());
  model_->Refresh();
}

void TFolderBrowser::ListActivated(const QModelIndex& index) {
  auto* folder = AsFolder(model_->ObjectAt(index.row()));
  if (!folder || !currentNode_) return;
  QTreeWidgetItem* item = tree_->ItemOf(currentNode_);
  item->setExpanded(true);
  for (int i = 0; i < item->childCount(); ++i) {
    TTreeNode* child = tree_->NodeOf(item->child(i));
    if (child && child->Object == folder) {
      SelectAndShow(child);
      listViews_->currentWidget()->setFocus();
      return;
    }
  }
}

void TFolderBrowser::ParentDir() {
  TTreeNode* parent = tree_->ParentNode(currentNode_);
  if (!parent) return;
  SelectAndShow(parent);
  listViews_->currentWidget()->setFocus();
}

bool TFolderBrowser::eventFilter(QObject* watched, QEvent* event) {
  // The user moving to the tree clears the list's selection, so that the commands do not act on
  // rows the user left; focus coming back with the window (a dialog closed) keeps it.
  if (event->type() == QEvent::FocusIn && watched == tree_ && selection_) {
    const Qt::FocusReason why = static_cast<QFocusEvent*>(event)->reason();
    if (why == Qt::MouseFocusReason || why == Qt::TabFocusReason || why == Qt::BacktabFocusReason)
      selection_->clearSelection();
  }
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Backspace &&
      (watched == details_ || watched == icons_)) {
    ParentDir();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TFolderBrowser::HeaderClicked(int column) {
  const bool descending = column == model_->SortColumn() ? !model_->SortDescending() : false;
  SortBy(column, descending);
}

void TFolderBrowser::SortBy(int column, bool descending) {
  model_->SetSort(column, descending);
  details_->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
  TCustomDirectory* folder = CurrentFolder();
  if (!folder || !folder->Children || folder->Children->size() < 2) return;
  {
    WaitCursor wait;
    ListUpdate update(*model_);
    model_->ShowFolder(*folder, DeletedMode(currentNode_));
  }
  if (FolderShown) FolderShown();
}

void TFolderBrowser::Rename() {
  QAbstractItemView* list = qobject_cast<QAbstractItemView*>(listViews_->currentWidget());
  const auto rows = model_->SelectedRows();
  if (list && (list->hasFocus() || !tree_->hasFocus()) && rows.size() == 1) {
    list->edit(model_->index(int(rows.front()), 0));
    return;
  }
  if (QTreeWidgetItem* item = tree_->currentItem(); item && tree_->hasFocus()) {
    renaming_ = item;
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    tree_->editItem(item, 0);
  }
}

bool TFolderBrowser::RenameObject(TItem* object, const QString& name) {
  const std::string shown = ShownName(*object);
  switch (CheckRename(*object, name.toStdString())) {
    case TRenameCheck::NoParent: return false;
    case TRenameCheck::Duplicate: {
      // Shown once the editor has closed: a modal box inside the model's setData leaves the view
      // in its editing state, and it never edits again.
      const QString text = QString::fromStdString(TextF(txt::RenameNameTaken, {shown}));
      QTimer::singleShot(0, this, [this, text] { QMessageBox::information(window(), "Salvex", text); });
      return false;
    }
    case TRenameCheck::Allowed: break;
  }
  if (auto* f = AsFile(object)) return f->Rename(name.toStdString());
  if (auto* d = AsFolder(object)) return d->Rename(name.toStdString());
  return false;
}

void TFolderBrowser::SelectAll() {
  if (model_->rowCount() == 0) return;
  WaitCursor wait;
  selection_->select(QItemSelection(model_->index(0, 0), model_->index(model_->rowCount() - 1, 0)),
                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TFolderBrowser::InvertSelection() {
  if (model_->rowCount() == 0) return;
  selection_->select(QItemSelection(model_->index(0, 0), model_->index(model_->rowCount() - 1, 0)),
                     QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
}

void TFolderBrowser::SetListStyle(int style) {
  if (style == 3) {
    listViews_->setCurrentWidget(details_);
    return;
  }
  icons_->setViewMode(style == 0 ? QListView::IconMode : QListView::ListMode);
  // Icons fill rows of a grid; the list mode fills columns.
  icons_->setFlow(style == 2 ? QListView::TopToBottom : QListView::LeftToRight);
  icons_->setWrapping(true);
  icons_->setResizeMode(QListView::Adjust);
  icons_->setIconSize(style == 0 ? QSize(32, 32) : QSize(16, 16));
  icons_->setGridSize(style == 0 ? QSize(96, 64) : QSize());
  listViews_->setCurrentWidget(icons_);
}

void TFolderBrowser::SetListFont(const QFont& font) {
  tree_->setFont(font);
  details_->setFont(font);
  icons_->setFont(font);
}

void TFolderBrowser::UpdateCaption() {
  TCustomDirectory* folder = CurrentFolder();
  if (!folder) {
    listCaption_->clear();
    return;
  }
  QString path = QString::fromStdString(ShortenPath(folder->GetPath(nullptr), 15));
  if (path.isEmpty() && tree_->ItemOf(currentNode_)) path = tree_->ItemOf(currentNode_)->text(0);
  listCaption_->setText(QString::fromStdString(TextF(txt::ContentsOf, {path.toStdString()})));
}

}  // namespace salvex::ui
