// The activity window.
#include "console/qt/activity_window.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include "console/core/activity.h"
#include "console/core/regfile.h"
#include "console/qt/context.h"
#include "console/qt/message_hook.h"

namespace vnx::console {

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
}

void CCurActView::fill(bool select_first) {
    setUpdatesEnabled(false);
    clear();
    std::vector<ActivityRow> rows;
    if (auto store = open_console_store(nullptr)) read_activity(users_db_path(*store), &rows);
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
        console_tell(this, qs(msg.caption), qs(msg.text), BoxIcon::kWarning);
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
    view_->fill(true);
    update_status();
}

QString CCurActFrm::status_text() const {
    return status_->text();
}

void CCurActFrm::update_status() {
    const int live = console_context().live_sessions ? console_context().live_sessions() : 0;
    if (auto store = open_console_store(nullptr)) {
        status_->setText(qs(activity_status_text(*store, live)));
    }
    kill_->setEnabled(live > 0);
}

void CCurActFrm::refresh() {
    view_->fill(false);
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
