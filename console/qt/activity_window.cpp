// The activity window.
#include "console/qt/activity_window.h"

#include <sys/stat.h>

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolBar>

#include "console/core/activity.h"
#include "console/core/regfile.h"
#include "console/qt/context.h"
#include "console/qt/message_hook.h"

namespace vnx::console {

namespace {

constexpr int kAutoRefreshMs = 2000;

// Paints a cell as one line of left-aligned text, elided at the right: the
// standard delegate lays out every cell's text as a paragraph, which is most
// of the cost of painting a screenful of sessions.
class RowDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) painter->fillRect(option.rect, option.palette.highlight());
        painter->setPen(selected ? option.palette.highlightedText().color()
                                 : option.palette.text().color());
        const QRect text = option.rect.adjusted(3, 0, -3, 0);
        const QString value = index.data(Qt::DisplayRole).toString();
        painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                          option.fontMetrics.elidedText(value, Qt::ElideRight, text.width()));
    }
};

// Size and modification time of a file, "" when it cannot be read.
std::string file_stamp(const std::string &path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return {};
    return std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

CCurActDoc::CCurActDoc() : title_(qs(activity_title())) {}

CCurActView::CCurActView(QWidget *parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAllColumnsShowFocus(true);
    setUniformRowHeights(true);
    setColumnCount(kActivityColumnCount);
    QStringList headings;
    for (const ActivityColumn &c : kActivityColumns)
        headings << c.heading;
    setHeaderLabels(headings);
    for (int i = 0; i < kActivityColumnCount; ++i)
        setColumnWidth(i, kActivityColumns[i].width);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header()->setSectionsClickable(false);
    setItemDelegate(new RowDelegate(this));
}

void CCurActView::fill(ConfigStore *store, bool select_first) {
    setUpdatesEnabled(false);
    clear();
    std::vector<ActivityRow> rows;
    path_ = store != nullptr ? users_db_path(*store) : std::string();
    read_activity(path_, &rows);
    QList<QTreeWidgetItem *> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const ActivityRow &row : rows) {
        QStringList cells;
        for (const std::string &cell : row.cells)
            cells << qs(cell);
        items << new QTreeWidgetItem(cells);
    }
    addTopLevelItems(items);
    if (select_first && topLevelItemCount() > 0) {
        setCurrentItem(topLevelItem(0));
        topLevelItem(0)->setSelected(true);
    }
    setUpdatesEnabled(true);
}

void CCurActView::kill_selected() {
    const QList<QTreeWidgetItem *> selected = selectedItems();
    if (selected.isEmpty()) {
        return console_tell(this, kActivityCaption, kSelectConnection);
    }
    if (selected.size() > 1) return console_tell(this, kActivityCaption, kOneConnection);
    QTreeWidgetItem *item = selected.first();
    const QString question = qs(format_text("End task for %s?", ss(item->text(0))));
    if (!console_ask(this, kConnectionCaption, question)) {
        item->setSelected(true);
        return;
    }
    ActivityRow row;
    for (int i = 0; i < kActivityColumnCount; ++i)
        row.cells[i] = ss(item->text(i));
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (kill_gateway(row_process(row), store_db_root(*store), &msg) != 0) {
        // Nothing was ended: the session stays listed, and the box says why.
        console_tell(this, qs(msg.caption), qs(msg.text), BoxIcon::kError);
        item->setSelected(true);
        return;
    }
    delete item;
}

CCurActFrm::CCurActFrm(QWidget *parent) : QMainWindow(parent), view_(new CCurActView(this)) {
    setWindowTitle(doc_.title());
    setCentralWidget(view_);
    QStyle *st = style();
    refresh_ = new QAction(st->standardIcon(QStyle::SP_BrowserReload), "Re&fresh", this);
    export_ = new QAction(st->standardIcon(QStyle::SP_DialogSaveButton), "&Export", this);
    import_ = new QAction(st->standardIcon(QStyle::SP_DialogOpenButton), "&Import", this);
    kill_ = new QAction(st->standardIcon(QStyle::SP_BrowserStop), "&Kill Process", this);
    const struct {
        QAction *action;
        const char *prompt;
        void (CCurActFrm::*slot)();
    } kCommands[] = {
        {refresh_, "Refresh the activity list\nRefresh", &CCurActFrm::refresh},
        {export_, "Export the VNX registry \nExport", &CCurActFrm::export_registry},
        {import_, "Import the VNX registry \nImport", &CCurActFrm::import_registry},
        {kill_, "Kill the current process\nKill Process", &CCurActFrm::kill},
    };
    QToolBar *bar = addToolBar("Current Activity");
    for (const auto &c : kCommands) {
        const QStringList prompt = QString(c.prompt).split('\n');
        c.action->setStatusTip(prompt.value(0));
        c.action->setToolTip(prompt.value(1));
        connect(c.action, &QAction::triggered, this, c.slot);
        bar->addAction(c.action);
    }
    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);
    stamp_ = file_stamp(view_->path());
    view_->fill(store(), true);
    update_status();
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &CCurActFrm::refresh_if_changed);
    timer->start(kAutoRefreshMs);
}

ConfigStore *CCurActFrm::store() {
    if (!store_) store_ = open_console_store(nullptr);
    return store_.get();
}

void CCurActFrm::refresh_if_changed() {
    const std::string stamp = file_stamp(view_->path());
    if (stamp == stamp_) return update_status();
    const QTreeWidgetItem *current = view_->currentItem();
    const QString selected = current != nullptr ? current->text(2) : QString();
    refresh();
    for (int i = 0; i < view_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = view_->topLevelItem(i);
        if (item->text(2) != selected) continue;
        view_->setCurrentItem(item);
        item->setSelected(true);
    }
}

QString CCurActFrm::status_text() const {
    return status_->text();
}

void CCurActFrm::update_status() {
    const int live = console_context().live_sessions ? console_context().live_sessions() : 0;
    if (ConfigStore *s = store()) status_->setText(qs(activity_status_text(*s, live)));
    kill_->setEnabled(live > 0);
}

void CCurActFrm::refresh() {
    // Stamped before the read: a change during the read is seen next time.
    stamp_ = file_stamp(view_->path());
    view_->fill(store(), false);
    update_status();
}

void CCurActFrm::kill() {
    view_->kill_selected();
    update_status();
}

void CCurActFrm::export_registry() {
    if (!console_ask(this, kServerCaption, kExportQuestion)) return;
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (vnx::console::export_registry(*store, export_path(*store), &msg) != 0) {
        console_tell(this, qs(msg.caption), qs(msg.text), BoxIcon::kError);
    }
}

void CCurActFrm::import_registry() {
    if (!console_ask(this, kServerCaption, kImportQuestion)) return;
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (vnx::console::import_registry(*store, export_path(*store), &msg) != 0) {
        console_tell(this, qs(msg.caption), qs(msg.text), BoxIcon::kError);
    }
}

}  // namespace vnx::console
