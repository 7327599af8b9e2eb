// Preloaded into the real program by end-to-end tests (LD_PRELOAD) to do what a user
// would on its windows. It reads the file named by ORVELIN_UI_DRIVER, one step per line,
// and runs the steps in order on the program's GUI thread, each as soon as it can:
//
//   menu TEXT     select the first row of the call list, open its context menu and
//                 choose the item TEXT
//   answer TEXT   fill the open text prompt with TEXT and press OK
//   box           once a message box is up (and has the focus, or five seconds passed),
//                 write "ui-driver: box ontop=0|1 active=0|1 text=TEXT" (line breaks as
//                 '|') and press its OK
//   watch NAME    from now on, write "ui-driver: painted NAME|TITLE|TEXT" the first time
//                 a window of that object name is painted (TEXT: its label's)
//   frame TEXT    choose the item TEXT of the main window's menu bar or its menus
//   modal         once a modal window is up, write "ui-driver: modal CLASS|TITLE|TEXT"
//                 (TEXT: a message box's, line breaks as '|') and close it unchanged
//
// After each step it writes "ui-driver: done N STEP" to stderr. Lines added to the file
// later are picked up.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMainWindow>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

struct Driver {
    QString path;
    QStringList steps;
    int done = 0;
    int menuWait = 0;  // ticks since the context menu was asked for; 0: not asked
    int boxWait = 0;   // ticks a box has been waited on for the focus
};

// Reports the first paint of each watched window.
class PaintWatch : public QObject {
  public:
    explicit PaintWatch(QString name) : name_(std::move(name)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!reported_ && event->type() == QEvent::Paint) {
            auto* w = qobject_cast<QWidget*>(watched);
            if (w && w->window()->objectName() == name_) {
                reported_ = true;
                const auto* label = w->window()->findChild<QLabel*>();
                std::fprintf(stderr, "ui-driver: painted %s|%s|%s\n", qPrintable(name_),
                             qPrintable(w->window()->windowTitle()),
                             label ? qPrintable(label->text()) : "");
            }
        }
        return false;
    }

  private:
    QString name_;
    bool reported_ = false;
};

Driver gDriver;

QAbstractItemView* callList() {
    for (QWidget* w : QApplication::allWidgets()) {
        auto* view = qobject_cast<QAbstractItemView*>(w);
        if (!view || qobject_cast<QHeaderView*>(w)) continue;  // headers are item views too
        for (QWidget* p = view->parentWidget(); p; p = p->parentWidget())
            if (p->objectName() == "Client Dialog") return view;
    }
    return nullptr;
}

void finished(Driver& d, const QString& step) {
    ++d.done;
    std::fprintf(stderr, "ui-driver: done %d %s\n", d.done, qPrintable(step));
}

// True when the step is finished; a step that ends in work which may open windows of
// its own counts itself first, since later ticks run inside that work.
bool run(Driver& d, const QString& step) {
    const QString word = step.section(' ', 0, 0);
    const QString arg = step.section(' ', 1);
    if (word == "answer") {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!dialog) return false;
        dialog->setTextValue(arg);
        dialog->accept();
        return true;
    }
    if (word == "watch") {
        QCoreApplication::instance()->installEventFilter(new PaintWatch(arg));
        return true;
    }
    if (word == "box") {
        QMessageBox* box = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
        if (!box) return false;
        if (!box->isActiveWindow() && ++d.boxWait < 100) return false;
        d.boxWait = 0;
        QString text = box->text();
        text.replace('\n', '|');
        std::fprintf(stderr, "ui-driver: box ontop=%d active=%d text=%s\n",
                     box->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? 1 : 0,
                     box->isActiveWindow() ? 1 : 0, qPrintable(text));
        finished(d, step);
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
        else box->reject();
        return false;
    }
    if (word == "frame") {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* frame = qobject_cast<QMainWindow*>(w);
            if (!frame || frame->objectName() != "RODORUVUD") continue;
            for (QAction* action : frame->menuBar()->findChildren<QAction*>()) {
                if (action->text() != arg || action->menu()) continue;
                finished(d, step);
                action->trigger();
                return false;
            }
            std::fprintf(stderr, "ui-driver: no frame menu item %s\n", qPrintable(arg));
            return true;
        }
        return false;
    }
    if (word == "modal") {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return false;
        QString text;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) text = box->text().replace('\n', '|');
        std::fprintf(stderr, "ui-driver: modal %s|%s|%s\n", modal->metaObject()->className(),
                     qPrintable(modal->windowTitle()), qPrintable(text));
        finished(d, step);
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        else modal->close();
        return false;
    }
    if (word == "menu") {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions()) {
                if (action->text() != arg) continue;
                menu->hide();
                d.menuWait = 0;
                finished(d, step);
                action->trigger();
                return false;
            }
            std::fprintf(stderr, "ui-driver: no menu item %s\n", qPrintable(arg));
            menu->hide();
            d.menuWait = 0;
            return true;
        }
        // No menu within a second: ask again.
        if (d.menuWait > 0 && ++d.menuWait < 20) return false;
        QAbstractItemView* view = callList();
        if (!view || !view->model() || view->model()->rowCount() == 0) return false;
        d.menuWait = 1;
        // Selected and asked for at once: a refresh of the list in between would drop the
        // selection, and a list that was never shown has no row under any point.
        QTimer::singleShot(0, view, [view] {
            if (view->model()->rowCount() == 0) return;
            const QModelIndex top = view->model()->index(0, 0);
            view->selectionModel()->select(
                top, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            Q_EMIT view->customContextMenuRequested(view->visualRect(top).center());
        });
        return false;
    }
    std::fprintf(stderr, "ui-driver: unknown step %s\n", qPrintable(step));
    return true;
}

void tick() {
    // Re-armed first: a step may open a modal window whose loop must keep ticking.
    QTimer::singleShot(50, QCoreApplication::instance(), tick);
    Driver& d = gDriver;
    QFile file(d.path);
    if (file.open(QIODevice::ReadOnly)) {
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        if (lines.size() > d.steps.size()) d.steps = lines;
    }
    if (d.done >= d.steps.size()) return;
    const QString step = d.steps[d.done].trimmed();
    if (run(d, step)) finished(d, step);
}

void start() {
    const char* path = std::getenv("ORVELIN_UI_DRIVER");
    // Runs while the application object is still being built: no type checks on it here.
    if (!path || !*path) return;
    gDriver.path = QString::fromUtf8(path);
    QTimer::singleShot(50, QCoreApplication::instance(), tick);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
