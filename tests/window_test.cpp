// The settings window driven through its controls on the offscreen platform,
// with the real server behind it and real sockets in front of it.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCheckBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "file.h"
#include "httpd.h"
#include "memory.h"
#include "net.h"
#include "os/instance.h"
#include "shell/shell.h"
#include "shell/window.h"
#include "support.h"

namespace {

constexpr char TITLE[] = "Pellorwick HTTP Server 0.1.6";
constexpr char START_TEXT[] = "Start Pellorwick HTTP Server 0.1.6";
constexpr char STOP_TEXT[] = "Stop Pellorwick HTTP Server 0.1.6";
constexpr char SECOND_COPY_ARG[] = "--second-copy";
constexpr char HELP_REQUEST[] = "GET /?help HTTP/1.0\r\n\r\n";

// A socket listening on a port the kernel chose.
int listen_on_any_port(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 1) < 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

bool port_80_free()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// What a message box showed, and how it was answered.
struct box_record {
    bool seen = false;
    QString caption;
    QString text;
    QString reason;  // the informative text below it
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
};

// Answers the next message box that appears with `answer`, recording it.
// The timer belongs to `scope`, so a box that never came cannot be answered
// by a later test.
void answer_next_box(QObject *scope, box_record *rec, QMessageBox::StandardButton answer)
{
    auto *t = new QTimer(scope);
    QObject::connect(t, &QTimer::timeout, t, [t, rec, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        t->stop();
        t->deleteLater();
        rec->seen = true;
        rec->caption = box->windowTitle();
        rec->text = box->text();
        rec->reason = box->informativeText();
        rec->icon = box->icon();
        rec->default_button = box->standardButton(box->defaultButton());
        box->button(answer)->click();
    });
    t->start(10);
}

// Answers the next folder chooser: picks `dir`, or cancels when it is empty.
void answer_next_chooser(QObject *scope, QString *title, const QString &dir)
{
    auto *t = new QTimer(scope);
    QObject::connect(t, &QTimer::timeout, t, [t, title, dir] {
        auto *dlg = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        t->stop();
        t->deleteLater();
        *title = dlg->windowTitle();
        if (dir.isEmpty()) {
            dlg->reject();
        } else {
            dlg->setDirectory(dir);
            static_cast<QDialog *>(dlg)->accept();
        }
    });
    t->start(10);
}

// One HTTP exchange on another thread while this one runs the window's loop.
struct exchange {
    std::thread thread;
    std::atomic<bool> done{false};
    std::string reply;

    void run(int port, const std::string &request)
    {
        thread = std::thread([this, port, request] {
            reply = http_exchange(port, request, 5000);
            done = true;
        });
    }
    ~exchange()
    {
        if (thread.joinable())
            thread.join();
    }
};

// Stands in for the browser: keeps the URLs the window asks to open.
class url_catcher : public QObject {
    Q_OBJECT
public:
    QStringList urls;
public slots:
    void open(const QUrl &url) { urls << url.toString(); }
};

// The second copy of the program: this same executable started again with
// SECOND_COPY_ARG. It reports the box it was shown as "status|caption|text".
int second_copy_main(int argc, char **argv)
{
    QApplication app(argc, argv);
    box_record rec;
    answer_next_box(&app, &rec, QMessageBox::Ok);
    int status = run_window(argc, argv, shell_settings{nullptr, -1, nullptr, nullptr, false});
    printf("%d|%s|%s\n", status, rec.caption.toUtf8().constData(), rec.text.toUtf8().constData());
    return status;
}

}  // namespace

class window_test : public QObject {
    Q_OBJECT

    QPointer<QWidget> window;
    QObject *scope = nullptr;
    std::string root;
    int port = 0;

    template <typename T>
    T *control(const char *name)
    {
        T *c = window->findChild<T *>(name);
        if (!c)
            qFatal("no control named %s", name);
        return c;
    }
    QLineEdit *field(const char *name) { return control<QLineEdit>(name); }
    QPushButton *button(const char *name) { return control<QPushButton>(name); }
    QString text(QPushButton *b) { return b->text().remove('&'); }  // without the mnemonic mark
    QString status() { return QTextDocumentFragment::fromHtml(control<QLabel>("status")->text()).toPlainText(); }
    QAction *action(const char *name) { return control<QAction>(name); }
    QString url(const char *path) { return QString("http://127.0.0.1:%1%2").arg(port).arg(path); }

    // The close box's notice, while it is shown.
    static QMessageBox *notice()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "notice" && w->isVisible())
                return qobject_cast<QMessageBox *>(w);
        return nullptr;
    }

    void click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }

    // The enabled state and text of every named control.
    QStringList snapshot()
    {
        QStringList s;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            if (w->objectName().isEmpty())
                continue;
            QString text;
            if (auto *e = qobject_cast<QLineEdit *>(w))
                text = e->text();
            else if (auto *b = qobject_cast<QPushButton *>(w))
                text = b->text();
            else if (auto *l = qobject_cast<QLabel *>(w))
                text = l->text();
            s << w->objectName() + "|" + (w->isEnabled() ? "on" : "off") + "|" + text;
        }
        return s;
    }

    void verify_stopped_controls()
    {
        QCOMPARE(text(button("start")), QString(START_TEXT));
        for (const char *name : {"root", "page", "port"})
            QVERIFY2(field(name)->isEnabled(), name);
        QVERIFY(button("browse")->isEnabled());
        QVERIFY(button("close")->isEnabled());
        QVERIFY(!button("clean")->isEnabled());
    }

    void verify_running_controls()
    {
        QCOMPARE(text(button("start")), QString(STOP_TEXT));
        for (const char *name : {"root", "page", "port"})
            QVERIFY2(!field(name)->isEnabled(), name);
        QVERIFY(!button("browse")->isEnabled());
        QVERIFY(!button("close")->isEnabled());
        QVERIFY(button("clean")->isEnabled());
    }

    // Starts the server on a port text and returns the status line it shows.
    QString start_with_port_text(const QString &text)
    {
        field("port")->setText(text);
        click("start");
        return status();
    }

    // Sends one request from another thread while the window's loop serves it.
    std::string serve_one(const std::string &request)
    {
        exchange x;
        x.run(port, request);
        if (!QTest::qWaitFor([&] { return x.done.load(); }, 10000))
            qWarning("no reply in time");
        x.thread.join();
        return x.reply;
    }

private slots:
    void init()
    {
        scope = new QObject;
        root = make_temp_dir();
        write_file(root + "/index.html", "<html><body>hello</body></html>\n");
        port = free_port();
        window = window_create(root.c_str(), port, "index.html");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }

    void cleanup()
    {
        delete scope;
        delete window;
        QVERIFY(!server_running());
    }

    void window_has_fixed_size_title_and_centred_place()
    {
        QCOMPARE(window->windowTitle(), QString(TITLE));
        QCOMPARE(window->size(), QSize(454, 332));
        QCOMPARE(window->minimumSize(), QSize(454, 332));
        QCOMPARE(window->maximumSize(), QSize(454, 332));
        QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(window->windowFlags() & Qt::WindowMinimizeButtonHint));
        QRect area = window->screen()->availableGeometry();
        QCOMPARE(window->pos(), QPoint(area.x() + (area.width() - 454) / 2, area.y() + (area.height() - 332) / 2));
    }

    // "Times" asked for at the largest size whose text cell is at most 16
    // pixels high, whichever font the system gives for that name.
    void controls_have_the_window_font()
    {
        for (QWidget *w : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (w->objectName() == "icon" || w->objectName() == "tray_menu")
                continue;
            QFont f = w->font();
            QCOMPARE(f.family(), QString("Times"));
            QCOMPARE(f.weight(), QFont::Medium);
            QVERIFY(QFontMetrics(f).height() <= 16);
            if (f.pixelSize() < 16) {
                f.setPixelSize(f.pixelSize() + 1);
                QVERIFY(QFontMetrics(f).height() > 16);
            }
        }
    }

    void labels_read_as_in_the_panel()
    {
        QStringList texts;
        for (QLabel *l : window->findChildren<QLabel *>())
            if (!l->text().isEmpty())
                texts << l->text();
        QStringList expected = {"&Root Directory", "Default &page", "P&ort", "Memory Usage", "Statistics",
                                "Connections",     "Sent",          "Recv",  "Online",       "Total",
                                "files",           "blocks",        "Confs", "Caches",       "Tasks",
                                "&User",           "Pass&word"};
        QCOMPARE(texts, expected);
        for (QLabel *l : window->findChildren<QLabel *>())
            QVERIFY(!l->wordWrap());
        QVERIFY(!control<QLabel>("icon")->pixmap().isNull());
    }

    void counters_are_read_only_and_settings_editable()
    {
        for (const char *name : {"sent", "recv", "online", "total", "files", "blocks", "confs", "caches", "tasks"})
            QVERIFY2(field(name)->isReadOnly(), name);
        for (const char *name : {"root", "page", "port"})
            QVERIFY2(!field(name)->isReadOnly(), name);
        QVERIFY(!button("clean")->isEnabled());
    }

    // Where Tab goes from the root field, once round, stopped and running.
    QStringList tab_round()
    {
        QStringList names;
        QWidget *first = QApplication::focusWidget();
        do {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            names << QApplication::focusWidget()->objectName();
        } while (QApplication::focusWidget() != first && names.size() < 20);
        names.removeDuplicates();  // Tab stops at the status line, then at its link
        return names;
    }

    void keyboard_reaches_every_control_and_enter_starts()
    {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        field("root")->setFocus();
        QTRY_VERIFY(field("root")->hasFocus());
        QCOMPARE(tab_round(), QStringList({"browse", "page", "port", "show_hidden", "user", "password", "start",
                                           "about", "close", "https", "root"}));
        QTest::keyClick(window, Qt::Key_P, Qt::AltModifier);  // the mnemonic of "Default page"
        QVERIFY(field("page")->hasFocus());
        QTest::keyClick(window, Qt::Key_O, Qt::AltModifier);
        QVERIFY(field("port")->hasFocus());
        QTest::keyClick(field("port"), Qt::Key_Return);
        QVERIFY(server_running());
        button("start")->setFocus();
        // The address for other devices and its button follow the status line, when they show.
        QStringList running = {"status", "qr_address", "copy", "clean", "about", "start"};
        for (QWidget *w : {control<QWidget>("qr_address"), control<QWidget>("copy")})
            if (!w->isVisible() || !w->isEnabled())
                running.removeAll(w->objectName());
        QCOMPARE(tab_round(), running);
        QTest::keyClick(button("start"), Qt::Key_Return);  // Enter presses the button
        QVERIFY(!server_running());
    }

    void settings_fill_the_fields()
    {
        QCOMPARE(field("root")->text(), QString::fromStdString(root));
        QCOMPARE(field("port")->text(), QString::number(port));
        QCOMPARE(field("page")->text(), QString("index.html"));
    }

    void missing_settings_take_the_defaults()
    {
        delete window;
        window = window_create(nullptr, -1, nullptr);
        QCOMPARE(field("root")->text(), QString(qgetenv("HOME")) + "/webhome");
        QCOMPARE(field("port")->text(), QString("80"));
        QCOMPARE(field("page")->text(), QString("index.html"));
        QCOMPARE(n_confs, 0);  // the store the defaults came from is gone again
    }

    void start_fills_status_and_switches_controls()
    {
        verify_stopped_controls();
        QCOMPARE(status(), QString());
        click("start");
        QVERIFY(server_running());
        QCOMPARE(status(), QString("For help: http://127.0.0.1:%1/?help").arg(port));
        verify_running_controls();
    }

    void https_links_https_and_shows_the_fingerprint()
    {
        control<QCheckBox>("https")->setChecked(true);
        QVERIFY(field("cert")->isEnabled());
        control<QCheckBox>("self_signed")->setChecked(true);
        QVERIFY(!field("cert")->isEnabled());
        click("start");
        QVERIFY(server_running());
        QCOMPARE(status(), QString("For help: https://127.0.0.1:%1/?help").arg(port));
        QCOMPARE(field("fingerprint")->text(), QString(server_tls_fingerprint()));
        QCOMPARE(field("fingerprint")->text().size(), 95);
        QVERIFY(!control<QCheckBox>("https")->isEnabled());
    }

    void stop_reverses_start()
    {
        click("start");
        QVERIFY(server_running());
        click("start");
        QVERIFY(!server_running());
        QCOMPARE(status(), QString(TITLE));
        verify_stopped_controls();
        // and the same port serves again after a second start
        click("start");
        QVERIFY(server_running());
        QVERIFY(serve_one(HELP_REQUEST).starts_with("HTTP/1.1 200 OK"));
    }

    // What zbarimg reads in a picture of the window.
    static QString decoded_qr(QWidget *w)
    {
        const std::string dir = make_temp_dir();
        w->grab().save(QString::fromStdString(dir + "/window.png"));
        run_shell("zbarimg --raw -q '" + dir + "/window.png' > '" + dir + "/code'");
        return QString::fromStdString(read_file(dir + "/code")).trimmed();
    }

    void qr_code_beside_the_status_opens_the_address_on_other_devices()
    {
        auto *panel = control<QWidget>("qr_panel");
        QVERIFY(!panel->isVisible());
        click("start");
        if (!panel->isVisible())
            QSKIP("this machine has no address but loopback: no other device could open the server");
        QCOMPARE(window->size(), QSize(454 + panel->width(), 332));
        auto *address = control<QComboBox>("qr_address");
        for (int i = 0; i < address->count(); ++i) {
            address->setCurrentIndex(i);
            const QString url = address->currentText();
            QVERIFY2(url.startsWith("http://") && url.endsWith(QString(":%1/").arg(port)) && !url.contains("//127."),
                     qPrintable(url));
            QCOMPARE(decoded_qr(window), url);
            click("copy");
            QCOMPARE(QGuiApplication::clipboard()->text(), url);
        }
        click("start");
        QVERIFY(!panel->isVisible());
        QCOMPARE(window->size(), QSize(454, 332));

        // On loopback alone no other device reaches it: no code.
        delete window;
        window = window_create(root.c_str(), port, "index.html", "127.0.0.1");
        window->show();
        click("start");
        QVERIFY(server_running() && !control<QWidget>("qr_panel")->isVisible());
        QCOMPARE(decoded_qr(window), QString());
    }

    void port_80_has_no_port_in_the_status_line()
    {
        if (!port_80_free())
            QSKIP("port 80 cannot be bound here");
        QCOMPARE(start_with_port_text("80"), QString("For help: http://127.0.0.1/?help"));
        QVERIFY(server_running());
    }

    void port_text_is_read_as_a_decimal_number_data()
    {
        // "%1" stands for a free port; rows without it start on port 0
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << "%1";
        QTest::newRow("leading spaces and sign") << "  +%1";
        QTest::newRow("trailing text") << "%1abc";
        QTest::newRow("not a number") << "http";
        QTest::newRow("empty") << "";
    }

    void port_text_is_read_as_a_decimal_number()
    {
        QFETCH(QString, text);
        const bool given = text.contains("%1");
        if (given)
            text = text.arg(port);
        const QString line = start_with_port_text(text);
        QVERIFY(server_running());
        verify_running_controls();
        // Port 0, for text that is no number, lets the system choose; the status line names its choice.
        if (!given)
            port = line.section(':', -1).section('/', 0, 0).toInt();
        QVERIFY(port > 0);
        QCOMPARE(line, QString("For help: http://127.0.0.1:%1/?help").arg(port));
        QVERIFY(serve_one(HELP_REQUEST).starts_with("HTTP/1.1 200 OK"));
    }

    // "%1" stands for the root the window was made with.
    void refused_settings_warn_and_change_nothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("warning");  // the start of the box's text
        auto row = [](const char *tag, const char *name, const QString &text, const char *warning) {
            QTest::newRow(tag) << QString(name) << text << QString(warning);
        };
        const char *const port_range = "The port must be a number from 0 to 65535.";
        row("negative port", "port", "-1", port_range);
        row("too large port", "port", "65536", port_range);
        row("far too large port", "port", "99999999999999999999", port_range);
        // Refused, not cut short.
        row("overlong root", "root", "%1/" + QString(300, 'd'), "The root directory name is longer than");
        row("missing root", "root", "%1/missing", "The root directory %1/missing does not exist.");
        row("user without a password", "user", "ann", "A user needs a name without \":\" and a password.");
    }

    void refused_settings_warn_and_change_nothing()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QString, warning);
        const QString dir = QString::fromStdString(root);
        field(name.toUtf8().constData())->setText(text.replace("%1", dir));
        QStringList before = snapshot();
        box_record box;
        answer_next_box(scope, &box, QMessageBox::Ok);
        click("start");
        QTRY_VERIFY(box.seen);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY2(box.text.startsWith(warning.replace("%1", dir)), qPrintable(box.text));
        QVERIFY(!server_running());
        QCOMPARE(snapshot(), before);
    }

    void failed_start_leaves_every_control_as_it_was()
    {
        int taken = 0;
        int holder = listen_on_any_port(&taken);
        QVERIFY(holder >= 0);
        field("port")->setText(QString::number(taken));
        QStringList before = snapshot();
        box_record box;
        answer_next_box(scope, &box, QMessageBox::Ok);
        click("start");
        QTRY_VERIFY(box.seen);
        close(holder);
        QCOMPARE(box.caption, QString("Error"));
        QCOMPARE(box.text, QString("bind() Failed."));
        QCOMPARE(box.reason, QString("port %1: Address already in use; another program listens on this port, "
                                     "choose another one")
                                 .arg(taken));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(!server_running());
        QCOMPARE(snapshot(), before);
        // and the window still starts once the port is free
        click("start");
        QVERIFY(server_running());
    }

    void counters_show_the_server_figures_after_a_tick()
    {
        click("start");
        uint64_t total_before = conn_total;
        uint64_t recv_before = bytes_recv;
        std::string request = HELP_REQUEST;
        std::string reply = serve_one(request);
        QVERIFY(reply.starts_with("HTTP/1.1 200 OK"));
        QCOMPARE(conn_total, total_before + 1);
        QCOMPARE(bytes_recv, recv_before + request.size());
        QTRY_COMPARE_WITH_TIMEOUT(field("total")->text(), QString::number(conn_total), 3000);
        QCOMPARE(field("sent")->text(), QString::number(bytes_sent));
        QCOMPARE(field("recv")->text(), QString::number(bytes_recv));
        QCOMPARE(field("online")->text(), QString::number(g_ctx.ntasks));
        QCOMPARE(field("files")->text(), QString::number(n_files));
        QCOMPARE(field("blocks")->text(), QString::number(n_blocks));
        QCOMPARE(field("confs")->text(), QString::number(n_confs));
        QCOMPARE(field("caches")->text(), QString::number(n_caches));
        QCOMPARE(field("tasks")->text(), QString::number(n_tasks));
        QVERIFY(n_confs > 0);  // the running server's configuration store
    }

    void open_connections_show_as_online()
    {
        click("start");
        int fd = connect_to(port);
        QVERIFY(fd >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(field("online")->text(), QString("1"), 3000);
        QCOMPARE(field("tasks")->text(), QString("1"));
        close(fd);
        QTRY_COMPARE_WITH_TIMEOUT(field("online")->text(), QString("0"), 3000);
    }

    void idle_connections_cost_no_cpu()
    {
        click("start");
        int fd = connect_to(port);
        QVERIFY(fd >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(field("online")->text(), QString("1"), 3000);
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        QTest::qWait(1500);
        getrusage(RUSAGE_SELF, &after);
        auto usec = [](const rusage &r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
        };
        close(fd);
        QVERIFY2(usec(after) - usec(before) < 150000, "the event loop spins");
    }

    void close_box_only_hides_and_tray_click_shows_again()
    {
        auto *tray = window->findChild<QSystemTrayIcon *>("tray");
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), QString(TITLE));
        QVERIFY(!tray->icon().isNull());
        click("start");
        window->close();
        QVERIFY(window);
        QVERIFY(window->isHidden() || window->isMinimized());
        // The server goes on answering behind the closed window.
        QVERIFY(server_running());
        const std::string reply = serve_one(HELP_REQUEST);
        QVERIFY2(reply.starts_with("HTTP/1.1 200 OK"), reply.c_str());
        emit tray->activated(QSystemTrayIcon::Context);
        QVERIFY(window->isHidden() || window->isMinimized());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
        QVERIFY(!window->isMinimized());
        window->hide();
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
    }

    // What the clean keeps (entries in use) is checked on the core; here the button reaches it.
    void clean_button_cleans_the_cache()
    {
        click("start");
        QVERIFY(button("clean")->isEnabled());
        int32_t builtin = n_caches;
        QVERIFY(fe_add_page(&g_ctx.entries, "/idle/", text_block_new(16), 0));
        QCOMPARE(n_caches, builtin + 1);
        click("clean");
        QCOMPARE(n_caches, builtin);
        QVERIFY(fe_lookup(&g_ctx.entries, "/idle/") == nullptr);
        QVERIFY(server_running());
        QVERIFY(serve_one(HELP_REQUEST).starts_with("HTTP/1.1 200 OK"));
    }

    void close_box_says_once_that_the_server_goes_on()
    {
        // No notification area offscreen: the window is minimised and a box says so.
        window->close();
        QTRY_VERIFY(notice());
        QVERIFY(notice()->text().contains("The server goes on"));
        notice()->button(QMessageBox::Ok)->click();
        window->showNormal();
        window->close();
        QTest::qWait(50);
        QVERIFY(!notice());
    }

    void tray_menu_shows_opens_starts_and_quits()
    {
        auto *menu = window->findChild<QMenu *>("tray_menu");
        QVERIFY(menu);
        QVERIFY(window->findChild<QSystemTrayIcon *>("tray")->contextMenu() == menu);
        QStringList texts;
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                texts << a->text().remove('&');
        QCOMPARE(texts, QStringList({"Show window", "Open in browser", "Start server", "Quit"}));
        QVERIFY(!action("open_action")->isEnabled());

        url_catcher browser;
        QDesktopServices::setUrlHandler("http", &browser, "open");
        action("start_action")->trigger();
        QVERIFY(server_running());
        QCOMPARE(action("start_action")->text().remove('&'), QString("Stop server"));
        action("open_action")->trigger();
        // The status line links to the help page.
        QVERIFY(control<QLabel>("status")->text().contains(QString("href=\"%1\"").arg(url("/?help"))));
        emit control<QLabel>("status")->linkActivated(url("/?help"));
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(browser.urls, QStringList({url("/"), url("/?help")}));

        window->hide();
        action("show_action")->trigger();
        QVERIFY(window->isVisible());

        box_record no;
        answer_next_box(scope, &no, QMessageBox::No);
        action("quit_action")->trigger();
        QTRY_VERIFY(no.seen);
        QCOMPARE(no.text, QString("Close Pellorwick 0.1.6?"));
        QTest::qWait(50);
        QVERIFY(window && server_running());
        box_record yes;
        answer_next_box(scope, &yes, QMessageBox::Yes);
        action("quit_action")->trigger();
        QTRY_VERIFY(window.isNull());
        QVERIFY(!server_running());  // the server stops with the window
    }

    void close_is_refused_while_running_and_asks_after_stop()
    {
        click("start");
        box_record none;
        answer_next_box(scope, &none, QMessageBox::Yes);
        click("close");  // disabled: nothing happens
        QTest::qWait(100);
        QVERIFY(!none.seen);
        delete scope;
        scope = new QObject;

        click("start");
        box_record no;
        answer_next_box(scope, &no, QMessageBox::No);
        click("close");
        QTRY_VERIFY(no.seen);
        QCOMPARE(no.caption, QString("Close"));
        QCOMPARE(no.text, QString("Close Pellorwick 0.1.6?"));
        QCOMPARE(no.default_button, QMessageBox::No);
        QTest::qWait(50);
        QVERIFY(window);

        box_record yes;
        answer_next_box(scope, &yes, QMessageBox::Yes);
        click("close");
        QTRY_VERIFY(yes.seen);
        QTRY_VERIFY(window.isNull());
    }

    void about_box_has_three_lines_under_the_title()
    {
        box_record box;
        answer_next_box(scope, &box, QMessageBox::Ok);
        click("about");
        QTRY_VERIFY(box.seen);
        QCOMPARE(box.caption, QString("About"));
        QCOMPARE(box.icon, QMessageBox::Information);
        QStringList lines = box.text.split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QString(TITLE));
        QVERIFY(!lines[1].isEmpty() && !lines[2].isEmpty());
    }

    void browse_puts_the_chosen_folder_in_the_root_field()
    {
        std::string other = make_temp_dir();
        QString title;
        answer_next_chooser(scope, &title, QString::fromStdString(other));
        click("browse");
        QTRY_COMPARE(title, QString("Root folder of the web server"));
        QTRY_COMPARE(field("root")->text(), QString::fromStdString(other));

        QString title2;
        answer_next_chooser(scope, &title2, QString());
        click("browse");
        QTRY_VERIFY(!title2.isEmpty());
        QCOMPARE(field("root")->text(), QString::fromStdString(other));
    }

    void chosen_root_is_handed_to_the_server()
    {
        std::string other = make_temp_dir();
        QString title;
        answer_next_chooser(scope, &title, QString::fromStdString(other));
        click("browse");
        QTRY_COMPARE(field("root")->text(), QString::fromStdString(other));
        click("start");
        QVERIFY(server_running());
        QCOMPARE(QString(g_ctx.root), QString::fromStdString(other));
    }

    // The user and password fields and the hidden-names box reach the server;
    // the password shows as dots.
    void user_password_and_hidden_names_are_handed_to_the_server()
    {
        write_file(root + "/.env", "SECRET\n");
        QCOMPARE(field("password")->echoMode(), QLineEdit::Password);
        field("user")->setText("ann");
        field("password")->setText("p\xc3\xa4ss:w");
        control<QCheckBox>("show_hidden")->setChecked(true);
        click("start");
        QVERIFY(server_running());
        QVERIFY(!field("password")->isEnabled());
        QVERIFY(serve_one("GET /.env HTTP/1.0\r\n\r\n").starts_with("HTTP/1.1 401 "));
        // "ann:päss:w" in base64
        QVERIFY(serve_one("GET /.env HTTP/1.0\r\nAuthorization: Basic YW5uOnDDpHNzOnc=\r\n\r\n").ends_with("SECRET\n"));
    }

    void instance_lock_is_held_against_other_processes()
    {
        QVERIFY(instance_lock());
        QVERIFY(instance_lock());  // this process already holds it
        pid_t child = fork();
        if (child == 0) {
            instance_unlock();  // drop the copy of the parent's lock that came with fork()
            _exit(instance_lock() ? 1 : 0);
        }
        int st = 0;
        waitpid(child, &st, 0);
        QVERIFY(WIFEXITED(st));
        QCOMPARE(WEXITSTATUS(st), 0);

        instance_unlock();
        child = fork();
        if (child == 0)
            _exit(instance_lock() ? 0 : 1);
        waitpid(child, &st, 0);
        QVERIFY(WIFEXITED(st));
        QCOMPARE(WEXITSTATUS(st), 0);
    }

    void second_copy_warns_and_exits_while_the_first_serves()
    {
        QVERIFY(instance_lock());
        delete window;  // made again, now that this process holds the lock
        window = window_create(root.c_str(), port, "index.html");
        click("start");
        window->hide();
        QProcess second;
        second.start(QCoreApplication::applicationFilePath(), {SECOND_COPY_ARG});
        QVERIFY(second.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        // the first copy keeps answering while the second one runs
        exchange x;
        x.run(port, HELP_REQUEST);
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(x.done.load(), 10000);
        QVERIFY2(x.reply.starts_with("HTTP/1.1 200 OK"), x.reply.c_str());
        instance_unlock();

        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QString out = QString::fromUtf8(second.readAllStandardOutput()).trimmed();
        QCOMPARE(out, QString("0|%1|You can't start the second copy of this application.").arg(TITLE));
        QVERIFY(server_running());
        QVERIFY(window);
        QVERIFY(window->isVisible());  // the second copy brought it to the front
        QVERIFY(serve_one(HELP_REQUEST).starts_with("HTTP/1.1 200 OK"));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], SECOND_COPY_ARG) == 0)
        return second_copy_main(argc, argv);
    // The offscreen platform has no notification area; Qt says so on every tray icon.
    QLoggingCategory::setFilterRules("qt.core.qobject.connect.warning=false");
    QApplication app(argc, argv);
    window_test test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
