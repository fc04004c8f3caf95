// The desktop on a display, with Qt Widgets: the desktop module (DesktopModule.h), a shared
// library of its own that the POSIX desktop loads when a display may be there.
//
// The UI thread owns every widget: the tray icon, the hidden window (shown only as the stand-in
// for a missing notification area), the popup menu, the about box and all message boxes. Other
// threads reach it through queued calls. Qt's own event loop is the message loop.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDialog>
#include <QDir>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <cctype>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Threads.h"
#include "platform/posix/DesktopModule.h"

namespace plat::qtdesk {

namespace {

void QtQuit(int code);

// How long the desktop may go without a notification area before the hidden window is shown in
// its place, in ticks of the tray watch.
constexpr int TRAY_WATCH_TICK_MS = 1000;
constexpr int TRAY_GRACE_TICKS = 3;

// The object name Qt gives the widget of an XEmbed tray icon.
constexpr const char* XEMBED_TRAY_WIDGET = "QSystemTrayIconSys";

// Arguments handed to QApplication; they must live as long as it.
char g_arg0[] = "pellomar";
char g_argPlatform[] = "-platform";
char g_argPlatformName[16] = {};
char* g_argv[] = {g_arg0, g_argPlatform, g_argPlatformName, nullptr};
int g_argc = 3;

QApplication* g_app = nullptr;
TrayDesc g_desc;
QIcon g_icon;
QSystemTrayIcon* g_tray = nullptr;
QMainWindow* g_window = nullptr;
bool g_created = false;
bool g_commandRunning = false;
bool g_menuOpen = false;
bool g_standInShown = false;
int g_trayMissingTicks = 0;
std::atomic<bool> g_quitAsked{false};
std::atomic<int> g_quitCode{0};

// --- Reaching the display -----------------------------------------------------------------------

// A display that takes longer than this to answer (a remote one out of reach) counts as none:
// start-up must not wait for the network.
constexpr auto DISPLAY_PROBE_TIMEOUT = std::chrono::seconds(5);

struct DisplayProbe {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
};

void ProbeX11(void* arg) {
    std::shared_ptr<DisplayProbe> probe(*static_cast<std::shared_ptr<DisplayProbe>*>(arg));
    delete static_cast<std::shared_ptr<DisplayProbe>*>(arg);
    int screen = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screen);
    bool ok = c != nullptr && xcb_connection_has_error(c) == 0;
    if (c != nullptr) xcb_disconnect(c);
    std::lock_guard<std::mutex> lock(probe->m);
    probe->ok = ok;
    probe->done = true;
    probe->cv.notify_all();
}

bool X11Reachable() {
    if (!deskmod::EnvSet("DISPLAY")) return false;
    auto probe = std::make_shared<DisplayProbe>();
    auto* arg = new std::shared_ptr<DisplayProbe>(probe);
    if (!StartDetachedThread(&ProbeX11, arg)) {
        delete arg;
        return false;
    }
    std::unique_lock<std::mutex> lock(probe->m);
    probe->cv.wait_for(lock, DISPLAY_PROBE_TIMEOUT, [&] { return probe->done; });
    return probe->done && probe->ok;
}

bool WaylandReachable() {
    if (!deskmod::EnvSet("WAYLAND_DISPLAY")) return false;
    std::string path = std::getenv("WAYLAND_DISPLAY");
    if (path[0] != '/') {
        if (!deskmod::EnvSet("XDG_RUNTIME_DIR")) return false;
        path = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" + path;
    }
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) return false;
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// QApplication aborts the process when the platform plugin it is told to use is missing.
bool WaylandPluginInstalled() {
    const QStringList dirs = QCoreApplication::libraryPaths();
    for (const QString& dir : dirs) {
        QDir platforms(dir + QStringLiteral("/platforms"));
        if (!platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty())
            return true;
    }
    return false;
}

// --- Texts and pictures -------------------------------------------------------------------------

QString FromText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A box text as the box shows it: trailing CR/LF dropped, every other CR/LF pair (either order)
// or lone CR one line break.
QString BoxText(const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            char other = c == '\r' ? '\n' : '\r';
            if (i + 1 < n && text[i + 1] == other) ++i;
            out.push_back('\n');
        } else {
            out.push_back(c);
        }
    }
    return FromText(out);
}

QMessageBox::Icon BoxIcon(MsgBoxIcon icon) {
    switch (icon) {
        case MsgBoxIcon::Warning:
            return QMessageBox::Warning;
        case MsgBoxIcon::Information:
            return QMessageBox::Information;
        case MsgBoxIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox* NewMessageBox(const QString& caption, const QString& text, MsgBoxIcon icon) {
    auto* box = new QMessageBox(BoxIcon(icon), caption, text, QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);  // a serial number is never markup
    return box;
}

QIcon BuildIcon(const std::vector<IconImage>& images) {
    QIcon icon;
    for (const IconImage& img : images) {
        QPixmap pm;
        if (img.pPng != nullptr &&
            pm.loadFromData(img.pPng, static_cast<unsigned>(img.lPngLen), "PNG"))
            icon.addPixmap(pm);
    }
    return icon;
}

// --- Commands and the popup menu ----------------------------------------------------------------

void EndDesktop(int code) {
    g_quitCode.store(code);
    g_quitAsked.store(true);
    if (g_tray != nullptr) g_tray->hide();
    if (g_window != nullptr) g_window->hide();
    QCoreApplication::exit(code);
}

void RunCommand(int command) {
    if (!g_desc.onCommand || g_commandRunning) return;
    g_commandRunning = true;
    bool end = g_desc.onCommand(command);
    g_commandRunning = false;
    if (end) EndDesktop(0);
}

// Builds the popup menu anew, shows it at `pos` and carries out the chosen command. While a
// menu or a command is under way, further requests are ignored.
void OpenTrayMenu(QPoint pos) {
    if (g_commandRunning || g_menuOpen || !g_desc.buildMenu || g_quitAsked.load()) return;
    std::vector<TrayMenuEntry> entries = g_desc.buildMenu();
    QMenu menu;
    for (const TrayMenuEntry& e : entries) {
        if (e.separator) {
            menu.addSeparator();
            continue;
        }
        QAction* a = menu.addAction(FromText(e.text));
        a->setData(e.command);
        if (e.checked) {
            a->setCheckable(true);
            a->setChecked(true);
        }
    }
    g_menuOpen = true;
    QAction* chosen = menu.exec(pos);
    g_menuOpen = false;
    if (chosen != nullptr) RunCommand(chosen->data().toInt());
}

void QueueTrayMenu(QPoint pos) {
    // Out of the event handler first: the menu runs its own loop.
    QTimer::singleShot(0, g_app, [pos] { OpenTrayMenu(pos); });
}

void QueueCommand(int command) {
    QTimer::singleShot(0, g_app, [command] { RunCommand(command); });
}

bool XEmbedTrayWidgetExists() {
    const QWidgetList tops = QApplication::topLevelWidgets();
    for (QWidget* w : tops)
        if (w->objectName() == QLatin1String(XEMBED_TRAY_WIDGET)) return true;
    return false;
}

// An XEmbed tray icon reports the right button when it is pressed; the menu opens when it is
// released, so the release is caught on its way to the icon's widget.
class TrayReleaseFilter : public QObject {
  protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        if (ev->type() == QEvent::MouseButtonRelease && obj->isWidgetType() &&
            obj->objectName() == QLatin1String(XEMBED_TRAY_WIDGET)) {
            auto* me = static_cast<QMouseEvent*>(ev);
            if (me->button() == Qt::RightButton) QueueTrayMenu(me->globalPosition().toPoint());
        }
        return QObject::eventFilter(obj, ev);
    }
};

// A notification-area host that speaks D-Bus decides itself when the menu is asked for and
// reports it as a context request; left clicks, double clicks and middle clicks do nothing.
void OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Context && !XEmbedTrayWidgetExists())
        QueueTrayMenu(QCursor::pos());
}

// --- The hidden window --------------------------------------------------------------------------

// The window's body stands in for the tray icon: the icon, the tooltip, and the popup menu on a
// right-button release.
class TrayStandIn : public QWidget {
  public:
    TrayStandIn() {
        setContextMenuPolicy(Qt::PreventContextMenu);
        auto* row = new QHBoxLayout(this);
        auto* picture = new QLabel(this);
        picture->setPixmap(g_icon.pixmap(32, 32));
        picture->setAlignment(Qt::AlignTop);
        row->addWidget(picture);
        auto* texts = new QVBoxLayout;
        auto* tip = new QLabel(FromText(g_desc.tooltip), this);
        tip->setTextFormat(Qt::PlainText);
        texts->addWidget(tip);
        auto* hint = new QLabel(QStringLiteral("Right-click here for the menu."), this);
        hint->setTextFormat(Qt::PlainText);
        hint->setEnabled(false);
        texts->addWidget(hint);
        row->addLayout(texts, 1);
    }

  protected:
    void mouseReleaseEvent(QMouseEvent* ev) override {
        if (ev->button() == Qt::RightButton) QueueTrayMenu(ev->globalPosition().toPoint());
    }
};

class HiddenWindow : public QMainWindow {
  protected:
    // Closing the stand-in would leave no way to the menu: it is minimised instead. Exit ends
    // the agent.
    void closeEvent(QCloseEvent* ev) override {
        ev->ignore();
        showMinimized();
    }
};

QKeySequence AcceleratorKeys(const Accelerator& acc) {
    int key = std::toupper(static_cast<unsigned char>(acc.cKey));  // Qt's codes for ASCII keys
    int mods = acc.blAlt ? static_cast<int>(Qt::ALT) : 0;
    return QKeySequence(mods | key);
}

void BuildHiddenWindow() {
    g_window = new HiddenWindow;
    g_window->setWindowTitle(FromText(g_desc.windowTitle));
    g_window->setWindowIcon(g_icon);
    g_window->setContextMenuPolicy(Qt::PreventContextMenu);
    for (const WindowMenu& m : g_desc.classMenu) {
        QMenu* menu = g_window->menuBar()->addMenu(FromText(m.text));
        for (const TrayMenuEntry& e : m.entries) {
            if (e.separator) {
                menu->addSeparator();
                continue;
            }
            int command = e.command;
            QAction* a = menu->addAction(FromText(e.text));
            QObject::connect(a, &QAction::triggered, g_app, [command] { QueueCommand(command); });
        }
    }
    for (const Accelerator& acc : g_desc.accelerators) {
        int command = acc.command;
        new QShortcut(AcceleratorKeys(acc), g_window, [command] { QueueCommand(command); });
    }
    g_window->setCentralWidget(new TrayStandIn);
    g_window->setMinimumSize(g_desc.windowWidth, g_desc.windowHeight);
    g_window->adjustSize();
}

// Shows the hidden window while the desktop has no notification area, hides it when one is there.
void WatchTray() {
    if (g_quitAsked.load()) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        g_trayMissingTicks = 0;
        if (g_standInShown) {
            g_window->hide();
            g_standInShown = false;
        }
        return;
    }
    if (g_standInShown || ++g_trayMissingTicks < TRAY_GRACE_TICKS) return;
    g_window->showNormal();
    g_window->raise();
    g_standInShown = true;
}

// --- Boxes from other threads -------------------------------------------------------------------

struct BoxDone {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    void Set() {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return done; });
    }
};

// --- Signals ------------------------------------------------------------------------------------

void SignalThread(void*) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0 && (sig == SIGTERM || sig == SIGINT)) QtQuit(0);
    }
}

// Qt ends the process with exit() when the display goes away under it (the session ended). The
// agent's threads are still running then: leave at once rather than run the static destructors
// under them.
void LeaveAtExit() {
    std::fflush(nullptr);
    std::_Exit(g_quitAsked.load() ? g_quitCode.load() : 1);
}

bool QtConnect() {
    const char* platform = nullptr;
    if (X11Reachable())
        platform = "xcb";
    else if (WaylandReachable() && WaylandPluginInstalled())
        platform = "wayland";
    else
        return false;
    std::snprintf(g_argPlatformName, sizeof g_argPlatformName, "%s", platform);

    // QApplication sets the locale from the environment; the agent's files and log are written
    // in the C locale whatever the desktop's language.
    std::string locale = std::setlocale(LC_ALL, nullptr);
    g_app = new QApplication(g_argc, g_argv);
    std::setlocale(LC_ALL, locale.c_str());
    QApplication::setQuitOnLastWindowClosed(false);

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (!StartDetachedThread(&SignalThread, nullptr))
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // the default action then ends the agent
    return true;
}

void QtShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon) {
    QString qCaption = QString::fromUtf8(caption);
    QString qText = BoxText(text);
    if (QThread::currentThread() == g_app->thread()) {
        std::unique_ptr<QMessageBox> box(NewMessageBox(qCaption, qText, icon));
        box->exec();
        return;
    }
    auto done = std::make_shared<BoxDone>();
    QMetaObject::invokeMethod(
        g_app,
        [done, qCaption, qText, icon] {
            QMessageBox* box = NewMessageBox(qCaption, qText, icon);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            QObject::connect(box, &QDialog::finished, [done] { done->Set(); });
            QObject::connect(box, &QObject::destroyed, [done] { done->Set(); });
            box->show();
            box->raise();
            box->activateWindow();
        },
        Qt::QueuedConnection);
    done->Wait();
}

bool QtCreate(const TrayDesc& desc) {
    if (g_created) return true;
    g_created = true;
    g_desc = desc;
    QCoreApplication::setApplicationName(FromText(desc.windowClass));
    g_icon = BuildIcon(desc.iconImages);
    QApplication::setWindowIcon(g_icon);
    BuildHiddenWindow();

    g_tray = new QSystemTrayIcon(g_icon);
    g_tray->setToolTip(FromText(desc.tooltip));
    QObject::connect(g_tray, &QSystemTrayIcon::activated, g_app, &OnTrayActivated);
    g_app->installEventFilter(new TrayReleaseFilter);
    g_tray->show();
    return true;
}

void QtShowAbout() {
    const AboutDesc& about = g_desc.about;
    QDialog dlg(
        g_window != nullptr && g_window->isVisible() ? g_window : nullptr,
        Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dlg.setWindowTitle(FromText(about.caption));
    dlg.setModal(true);
    auto* row = new QHBoxLayout(&dlg);
    auto* picture = new QLabel(&dlg);
    picture->setPixmap(g_icon.pixmap(32, 32));
    picture->setAlignment(Qt::AlignTop);
    row->addWidget(picture);
    auto* text = new QLabel(FromText(about.text), &dlg);
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    row->addWidget(text, 1);
    auto* ok = new QPushButton(FromText(about.okText), &dlg);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dlg, &QDialog::accept);
    row->addWidget(ok, 0, Qt::AlignTop);
    QFontMetrics fm(dlg.font());
    dlg.setMinimumSize(static_cast<int>(about.minWidthChars * fm.averageCharWidth()),
                       static_cast<int>(about.minHeightLines * fm.height()));
    dlg.exec();
}

int QtRunLoop() {
    if (g_quitAsked.load()) return g_quitCode.load();
    std::atexit(&LeaveAtExit);
    if (g_window != nullptr) {
        auto* watch = new QTimer(g_app);
        QObject::connect(watch, &QTimer::timeout, g_app, &WatchTray);
        watch->start(TRAY_WATCH_TICK_MS);
    }
    int rc = QApplication::exec();
    return g_quitAsked.load() ? g_quitCode.load() : rc;
}

void QtQuit(int code) {
    g_quitCode.store(code);
    g_quitAsked.store(true);
    QMetaObject::invokeMethod(
        g_app, [code] { EndDesktop(code); }, Qt::QueuedConnection);
}

constexpr deskmod::DesktopModuleApi MODULE_API = {
    deskmod::DESKTOP_MODULE_ABI,
    sizeof(deskmod::DesktopModuleApi),
    sizeof(TrayDesc),
    PELLOMAR_VERSION,
    &QtConnect,
    &QtShowMessageBox,
    &QtCreate,
    &QtShowAbout,
    &QtRunLoop,
    &QtQuit,
};

}  // namespace

}  // namespace plat::qtdesk

// The module's one exported symbol; everything else in it stays hidden.
extern "C" __attribute__((visibility("default"))) const plat::deskmod::DesktopModuleApi*
pellomar_desktop_module(uint32_t abi) {
    return abi == plat::deskmod::DESKTOP_MODULE_ABI ? &plat::qtdesk::MODULE_API : nullptr;
}
