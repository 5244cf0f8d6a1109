// The window front end: the settings window with its counters, the tray icon
// and its menu, and the single-instance lock.
#include "shell/window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "htconfig.h"
#include "httpd.h"
#include "memory.h"
#include "net.h"
#include "os/evloop.h"
#include "os/instance.h"
#include "os/sock.h"
#include "shell/icon.h"
#include "shell/qr.h"
#include "shell/shell.h"

namespace {

constexpr char TITLE[] = PW_NAME_VERSION;
// An "&" marks the mnemonic: Alt and the letter after it.
constexpr char START_TEXT[] = "&Start " PW_NAME_VERSION;
constexpr char STOP_TEXT[] = "S&top " PW_NAME_VERSION;
constexpr char CLOSE_QUESTION[] = "Close Pellorwick " PW_VERSION "?";
constexpr char TRAY_NOTICE[] = "The server goes on in the notification area. Its menu shows the window again "
                               "or quits.";
constexpr char MINIMISED_NOTICE[] = "The server goes on while the window is minimised; Close ends the program.";
constexpr int WINDOW_W = 454;
constexpr int WINDOW_H = 332;
constexpr int ROOT_SIZE = 260;  // 259 bytes and the terminator
constexpr int PAGE_SIZE = 32;   // 31 bytes and the terminator
constexpr int PORT_TEXT_SIZE = 260;
constexpr int PEM_PATH_SIZE = 1024;
constexpr int TICK_MS = 1000;
constexpr int FONT_HEIGHT = 16;

enum : int {
    ID_ROOT = 1,
    ID_BROWSE = 2,
    ID_PAGE = 4,
    ID_PORT = 6,
    ID_START = 7,
    ID_CLEAN = 8,
    ID_CLOSE = 9,
    ID_ABOUT = 10,
    ID_STATUS = 14,
    ID_SENT = 16,
    ID_RECV = 18,
    ID_ONLINE = 20,
    ID_TOTAL = 22,
    ID_USAGE = 24,  // 24, 26, 28, 30, 32: files, blocks, confs, caches, tasks
    NUM_IDS = 33,
};

enum control_kind {
    CK_LABEL,
    CK_STATUS,
    CK_EDIT,
    CK_COUNTER,
    CK_BUTTON
};

struct control_def {
    int id;
    control_kind kind;
    const char *text;
    int x, y, w, h;
    const char *name;
};

// Every control, in creation order; labels without a role have no name.
constexpr control_def CONTROLS[] = {
    {0, CK_LABEL, "&Root Directory", 60, 13, 95, 24, nullptr},
    {1, CK_EDIT, "", 155, 10, 219, 24, "root"},
    {2, CK_BUTTON, "&Browse", 379, 10, 60, 24, "browse"},
    {3, CK_LABEL, "Default &page", 60, 43, 95, 24, nullptr},
    {4, CK_EDIT, "", 155, 40, 134, 24, "page"},
    {5, CK_LABEL, "P&ort", 314, 43, 35, 24, nullptr},
    {6, CK_EDIT, "", 359, 40, 80, 24, "port"},
    {11, CK_LABEL, "Memory Usage", 30, 93, 130, 24, nullptr},
    {12, CK_LABEL, "Statistics", 190, 93, 130, 24, nullptr},
    {13, CK_LABEL, "Connections", 340, 93, 130, 24, nullptr},
    {14, CK_STATUS, "", 180, 183, 259, 24, "status"},
    {15, CK_LABEL, "Sent", 160, 123, 40, 24, nullptr},
    {16, CK_COUNTER, "0", 210, 120, 80, 24, "sent"},
    {17, CK_LABEL, "Recv", 160, 153, 40, 24, nullptr},
    {18, CK_COUNTER, "0", 210, 150, 80, 24, "recv"},
    {19, CK_LABEL, "Online", 310, 123, 40, 24, nullptr},
    {20, CK_COUNTER, "0", 360, 120, 80, 24, "online"},
    {21, CK_LABEL, "Total", 310, 153, 40, 24, nullptr},
    {22, CK_COUNTER, "0", 360, 150, 80, 24, "total"},
    {23, CK_LABEL, "files", 10, 123, 50, 24, nullptr},
    {24, CK_COUNTER, "0", 60, 120, 80, 24, "files"},
    {25, CK_LABEL, "blocks", 10, 153, 50, 24, nullptr},
    {26, CK_COUNTER, "0", 60, 150, 80, 24, "blocks"},
    {27, CK_LABEL, "Confs", 10, 183, 50, 24, nullptr},
    {28, CK_COUNTER, "0", 60, 180, 80, 24, "confs"},
    {29, CK_LABEL, "Caches", 10, 213, 50, 24, nullptr},
    {30, CK_COUNTER, "0", 60, 210, 80, 24, "caches"},
    {31, CK_LABEL, "Tasks", 10, 243, 50, 24, nullptr},
    {32, CK_COUNTER, "0", 60, 240, 80, 24, "tasks"},
    {8, CK_BUTTON, "Clean &Cache", 180, 240, 100, 24, "clean"},
    {7, CK_BUTTON, START_TEXT, 180, 210, 259, 24, "start"},
    {9, CK_BUTTON, "C&lose", 380, 240, 59, 24, "close"},
    {10, CK_BUTTON, "&About", 290, 240, 80, 24, "about"},
};

// The order Tab takes through the controls.
constexpr int TAB_ORDER[] = {ID_ROOT, ID_BROWSE, ID_PAGE, ID_PORT, ID_START, ID_STATUS, ID_CLEAN, ID_ABOUT, ID_CLOSE};

// The main window: the close box hides it instead of closing it, and its
// destruction stops a server that is still running.
class main_window : public QWidget {
public:
    ~main_window() override;

protected:
    void closeEvent(QCloseEvent *event) override;
};

struct shell_state {
    bool running;
    bool notice_given;  // the close box has said once that the server goes on
    char root[ROOT_SIZE];
    char default_page[PAGE_SIZE];
    char host[SOCK_ADDRESS_SIZE + 2];  // the host of the URLs that reach the server
    const char *bind_address;          // null: every address
    int max_age;                       // of replies to caches; -1: they revalidate
    int port;                          // of the running server
    main_window *window;
    QWidget *controls[NUM_IDS];
    QSystemTrayIcon *tray;
    QAction *open_action;   // Open in browser
    QAction *start_action;  // Start or Stop, as the button
    // HTTPS: with the certificate and key files, or a certificate made at start.
    QCheckBox *https, *self_signed;
    QLineEdit *cert, *key, *fingerprint;
    QPushButton *cert_browse, *key_browse;
    char cert_file[PEM_PATH_SIZE];  // what the running server was started with
    char key_file[PEM_PATH_SIZE];
};

shell_state g_shell;

QLineEdit *edit(int id)
{
    return static_cast<QLineEdit *>(g_shell.controls[id]);
}

QPushButton *button(int id)
{
    return static_cast<QPushButton *>(g_shell.controls[id]);
}

QLabel *label(int id)
{
    return static_cast<QLabel *>(g_shell.controls[id]);
}

// The decimal value of a port text: leading spaces, an optional sign and digits.
// Text that is not a number gives 0; values too large for a port saturate.
int parse_port(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    int sign = 1;
    if (*text == '+' || *text == '-')
        sign = (*text++ == '-') ? -1 : 1;
    int value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); text++) {
        if (value < 1000000)
            value = value * 10 + (*text - '0');
    }
    return sign * value;
}

void warn(const QString &caption, const QString &text)
{
    QMessageBox::warning(g_shell.window, caption, text);
}

// The server reports failures while it is inside one of its calls; the box is
// shown after that call has returned, so no event reaches it half-way. The
// first line is the message; the reason, on the lines after it, goes below.
void show_server_message(const char *text, const char *caption)
{
    QString t = QString::fromUtf8(text);
    QString c = QString::fromUtf8(caption);
    QTimer::singleShot(0, qApp, [c, t] {
        QMessageBox box(QMessageBox::Warning, c, t.section('\n', 0, 0), QMessageBox::Ok, g_shell.window);
        box.setInformativeText(t.section('\n', 1));
        box.exec();
    });
}

// The address of the running server's pages, "/" or "/?help".
QString server_url(const char *path)
{
    QString port = g_shell.port == url_default_port() ? QString() : QString(":%1").arg(g_shell.port);
    return QString("%1://%2%3%4").arg(url_scheme(), g_shell.host, port, path);
}

void open_in_browser()
{
    if (g_shell.running)
        QDesktopServices::openUrl(QUrl(server_url("/")));
}

void show_counters()
{
    const uint64_t values[] = {bytes_sent, bytes_recv, static_cast<uint64_t>(g_ctx.ntasks), conn_total};
    const int ids[] = {ID_SENT, ID_RECV, ID_ONLINE, ID_TOTAL};
    for (int i = 0; i < 4; i++)
        edit(ids[i])->setText(QString::number(values[i]));
    const int32_t usage[] = {n_files, n_blocks, n_confs, n_caches, n_tasks};
    for (int i = 0; i < 5; i++)
        edit(ID_USAGE + 2 * i)->setText(QString::number(usage[i]));
}

void on_tick()
{
    server_tick();
    show_counters();
}

// Copies a field's text into a shell buffer; false when it does not fit.
bool copy_field(char *buf, int size, const QByteArray &text)
{
    if (text.size() >= size)
        return false;
    memcpy(buf, text.constData(), text.size());
    buf[text.size()] = 0;
    return true;
}

bool apply_access_fields();
void enable_access_controls(bool running);
// ---- the QR code for other devices ----
// Beside the controls, while the server runs where other devices reach it:
// the QR code of the address one of them would open, a choice among the
// addresses when there are several, and a button that copies the address.

constexpr int QR_PANEL_W = 200;
constexpr int QR_FIELD_W = 188;  // the address and the button
constexpr int QR_PIXELS = 160;   // the most the code and its quiet zone take a side

struct qr_panel {
    QWidget *panel;
    QLabel *code;
    QComboBox *address;
    QPushButton *copy;
    bool shown;
};

qr_panel g_qr;

// The code of the chosen address, black on white, in whole pixels a module.
void draw_qr()
{
    static qr_code code;
    const QByteArray url = g_qr.address->currentText().toUtf8();
    if (url.isEmpty() || !qr_make(url.constData(), &code)) {
        g_qr.code->clear();
        return;
    }
    const int side = code.width + 2 * QR_QUIET_ZONE;
    const int scale = std::max(1, QR_PIXELS / side);
    QImage image(side * scale, side * scale, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < code.width; ++y)
        for (int x = 0; x < code.width; ++x)
            if (code.modules[y * code.width + x])
                painter.fillRect((x + QR_QUIET_ZONE) * scale, (y + QR_QUIET_ZONE) * scale, scale, scale, Qt::black);
    painter.end();
    g_qr.code->setPixmap(QPixmap::fromImage(image));
}

void qr_panel_create(QWidget *w, const QFont &font)
{
    g_qr = qr_panel{};
    g_qr.panel = new QWidget(w);
    g_qr.panel->setObjectName("qr_panel");
    g_qr.panel->setFont(font);
    g_qr.panel->setGeometry(w->width(), 0, QR_PANEL_W, w->height());
    g_qr.code = new QLabel(g_qr.panel);
    g_qr.code->setObjectName("qr");
    g_qr.code->setGeometry(6, 10, QR_FIELD_W, QR_PIXELS);
    g_qr.code->setAlignment(Qt::AlignCenter);
    g_qr.address = new QComboBox(g_qr.panel);
    g_qr.address->setObjectName("qr_address");
    g_qr.address->setGeometry(6, 180, QR_FIELD_W, 24);
    g_qr.copy = new QPushButton("Copy &address", g_qr.panel);
    g_qr.copy->setObjectName("copy");
    g_qr.copy->setGeometry(6, 210, QR_FIELD_W, 24);
    g_qr.copy->setAutoDefault(true);
    QObject::connect(g_qr.address, &QComboBox::currentIndexChanged, w, draw_qr);
    QObject::connect(g_qr.copy, &QPushButton::clicked, w,
                     [] { QGuiApplication::clipboard()->setText(g_qr.address->currentText()); });
    g_qr.panel->hide();
}

// Shows the panel, and widens the window for it, while the server runs and
// another device can reach it; hides it otherwise.
void qr_panel_update(bool running)
{
    lan_url_list urls{};
    if (running)
        urls = lan_urls(url_scheme(), g_shell.port, g_shell.bind_address, sock_is_ipv6(g_ctx.listen_sock));
    const bool show = urls.count > 0;
    if (show) {
        g_qr.address->blockSignals(true);
        g_qr.address->clear();
        for (int i = 0; i < urls.count; ++i)
            g_qr.address->addItem(QString::fromUtf8(urls.url[i]));
        g_qr.address->setCurrentIndex(0);
        g_qr.address->blockSignals(false);
        g_qr.address->setEnabled(urls.count > 1);
        draw_qr();
    }
    if (show == g_qr.shown)
        return;
    g_qr.shown = show;
    QWidget *w = g_shell.window;
    const int width = w->width() + (show ? QR_PANEL_W : -QR_PANEL_W);
    w->setFixedSize(width, w->height());
    g_qr.panel->setVisible(show);
}

void set_running_controls(bool running)
{
    button(ID_START)->setText(running ? STOP_TEXT : START_TEXT);
    for (int id : {ID_PORT, ID_ROOT, ID_PAGE, ID_BROWSE, ID_CLOSE})
        g_shell.controls[id]->setEnabled(!running);
    g_shell.controls[ID_CLEAN]->setEnabled(running);
    enable_access_controls(running);
    // The status line is a link to the help page while the server runs.
    label(ID_STATUS)->setFocusPolicy(running ? Qt::StrongFocus : Qt::NoFocus);
    g_shell.start_action->setText(running ? "S&top server" : "&Start server");
    g_shell.open_action->setEnabled(running);
    const bool https = g_shell.https->isChecked(), files = https && !g_shell.self_signed->isChecked();
    g_shell.https->setEnabled(!running);
    g_shell.self_signed->setEnabled(!running && https);
    for (QWidget *w : std::initializer_list<QWidget *>{g_shell.cert, g_shell.key, g_shell.cert_browse, g_shell.key_browse})
        w->setEnabled(!running && files);
    g_shell.fingerprint->setText(running && server_tls() ? QString(server_tls_fingerprint()) : QString());
}

// The server starts with HTTPS as the window's choices say; false (with a
// box) when files are wanted and one is not named.
bool choose_tls()
{
    const bool https = g_shell.https->isChecked(), self_signed = https && g_shell.self_signed->isChecked();
    if (!copy_field(g_shell.cert_file, PEM_PATH_SIZE, QFile::encodeName(g_shell.cert->text())) ||
        !copy_field(g_shell.key_file, PEM_PATH_SIZE, QFile::encodeName(g_shell.key->text()))) {
        warn(TITLE, QString("A certificate or key file name is longer than %1 bytes.").arg(PEM_PATH_SIZE - 1));
        return false;
    }
    if (https && !self_signed && (!g_shell.cert_file[0] || !g_shell.key_file[0])) {
        warn(TITLE, "HTTPS needs the certificate file and its key file, or a self-signed certificate.");
        return false;
    }
    server_set_tls(https && !self_signed ? g_shell.cert_file : nullptr, https && !self_signed ? g_shell.key_file : nullptr,
                   self_signed);
    return true;
}

void start_server()
{
    QByteArray port_text = edit(ID_PORT)->text().toUtf8().left(PORT_TEXT_SIZE - 1);
    QByteArray root_text = QFile::encodeName(edit(ID_ROOT)->text());
    QByteArray page_text = QFile::encodeName(edit(ID_PAGE)->text());

    // A cut-short name would publish some other directory or page.
    if (!copy_field(g_shell.root, ROOT_SIZE, root_text)) {
        warn(TITLE, QString("The root directory name is longer than %1 bytes.").arg(ROOT_SIZE - 1));
        return;
    }
    if (!copy_field(g_shell.default_page, PAGE_SIZE, page_text)) {
        warn(TITLE, QString("The default page name is longer than %1 bytes.").arg(PAGE_SIZE - 1));
        return;
    }
    int port = parse_port(port_text.constData());
    // The socket layer keeps 16 bits of the number; a wider one would quietly open another port.
    if (port < 0 || port > 65535) {
        warn(TITLE, "The port must be a number from 0 to 65535.");
        return;
    }
    char why[ROOT_SIZE + 64];
    if (root_problem(g_shell.root, why, sizeof why)) {
        warn(TITLE, QString::fromUtf8(why));
        return;
    }
    if (!apply_access_fields() || !choose_tls() ||
        server_start(port, g_shell.root, g_shell.default_page, g_shell.bind_address, g_shell.max_age) == -1)
        return;

    // Port 0 lets the system choose one: show the one it chose.
    g_shell.port = port != 0 ? port : sock_port(g_ctx.listen_sock);
    url_host(g_shell.host, sizeof g_shell.host, g_shell.bind_address);
    char status[128];
    format_status_line(status, sizeof status, g_shell.port, g_shell.bind_address);
    const QString help = server_url("/?help");
    label(ID_STATUS)->setText(QString(status).replace(help, QString("<a href=\"%1\">%1</a>").arg(help)));
    g_shell.running = true;
    set_running_controls(true);
    qr_panel_update(true);
}

void stop_server()
{
    g_shell.running = false;
    set_running_controls(false);
    label(ID_STATUS)->setText(TITLE);
    server_stop();
    qr_panel_update(false);
}

void on_start_stop()
{
    if (g_shell.running)
        stop_server();
    else
        start_server();
}

void on_browse()
{
    QString dir = QFileDialog::getExistingDirectory(g_shell.window, "Root folder of the web server",
                                                    edit(ID_ROOT)->text(), QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        edit(ID_ROOT)->setText(dir);
}

// Close, and Quit in the tray menu: ends the program once the answer is yes;
// a running server is stopped with the window.
void on_close()
{
    QMessageBox::StandardButton answer = QMessageBox::question(g_shell.window, "Close", CLOSE_QUESTION,
                                                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes && g_shell.window)
        g_shell.window->deleteLater();
}

void on_about()
{
    QMessageBox::information(g_shell.window, "About", QString::fromUtf8(about_text));
}

void show_window()
{
    if (!g_shell.window)
        return;
    g_shell.window->showNormal();
    g_shell.window->raise();
    g_shell.window->activateWindow();
}

main_window::~main_window()
{
    if (g_shell.running) {
        server_stop();
        g_shell.running = false;
    }
    g_shell.window = nullptr;
}

void main_window::closeEvent(QCloseEvent *event)
{
    event->ignore();
    // Without a notification area the window could never come back: minimise instead.
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    if (tray)
        hide();
    else
        showMinimized();
    // Said once, so that nobody takes the closed window for a stopped server.
    if (g_shell.notice_given)
        return;
    g_shell.notice_given = true;
    if (tray && QSystemTrayIcon::supportsMessages()) {
        g_shell.tray->showMessage(TITLE, TRAY_NOTICE);
    } else {
        auto *box = new QMessageBox(QMessageBox::Information, TITLE, tray ? TRAY_NOTICE : MINIMISED_NOTICE,
                                    QMessageBox::Ok, this);
        box->setObjectName("notice");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    }
}

// "Times", weight 500, 16 pixels high: the height is that of the whole text
// cell (ascent and descent), so the glyphs are somewhat smaller than 16 pixels.
QFont window_font()
{
    QFont font("Times");
    font.setWeight(QFont::Medium);
    int size = FONT_HEIGHT;
    do {
        font.setPixelSize(size);
    } while (QFontMetrics(font).height() > FONT_HEIGHT && --size > FONT_HEIGHT / 2);
    return font;
}

QWidget *create_control(QWidget *parent, const control_def &c, const QFont &font)
{
    QWidget *w = nullptr;
    switch (c.kind) {
    case CK_LABEL:
    case CK_STATUS: {
        auto *l = new QLabel(c.text, parent);
        l->setAlignment(c.kind == CK_STATUS ? Qt::AlignHCenter | Qt::AlignTop : Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(false);
        w = l;
        break;
    }
    case CK_EDIT:
    case CK_COUNTER: {
        auto *e = new QLineEdit(c.text, parent);
        e->setReadOnly(c.kind == CK_COUNTER);
        e->setFocusPolicy(c.kind == CK_EDIT ? Qt::StrongFocus : Qt::ClickFocus);
        w = e;
        break;
    }
    case CK_BUTTON: {
        auto *b = new QPushButton(c.text, parent);
        b->setFocusPolicy(Qt::StrongFocus);
        b->setAutoDefault(true);  // Enter presses the button that has the focus
        w = b;
        break;
    }
    }
    if (c.name)
        w->setObjectName(c.name);
    w->setGeometry(c.x, c.y, c.w, c.h);
    w->setFont(font);
    return w;
}

// ---- who is served: hidden names, a user and password ----

// The row between the settings and the panel: Show hidden names, and a user
// whose password every request then needs (besides the command line's).
struct access_controls {
    QCheckBox *show_hidden;
    QLineEdit *user;
    QLineEdit *password;  // shown as dots, never written anywhere
};
access_controls g_access;
shell_settings g_command_line;  // what the command line asked for besides the fields
char g_window_user[2 * PAGE_SIZE];  // "USER:PASSWORD" while the server runs

void create_access_controls(QWidget *w, const QFont &font)
{
    auto place = [&](QWidget *c, const char *name, int x, int width) {
        c->setObjectName(name);
        c->setGeometry(x, 66, width, 24);
        c->setFont(font);
    };
    g_access.show_hidden = new QCheckBox("Show &hidden", w);
    place(g_access.show_hidden, "show_hidden", 60, 95);
    g_access.show_hidden->setChecked(g_command_line.show_hidden);
    auto *user_label = new QLabel("&User", w);
    place(user_label, "", 160, 30);
    g_access.user = new QLineEdit(w);
    place(g_access.user, "user", 192, 90);
    auto *password_label = new QLabel("Pass&word", w);
    place(password_label, "", 287, 58);
    g_access.password = new QLineEdit(w);
    g_access.password->setEchoMode(QLineEdit::Password);
    place(g_access.password, "password", 349, 90);
    user_label->setBuddy(g_access.user);
    password_label->setBuddy(g_access.password);
    QWidget::setTabOrder(g_shell.controls[ID_PORT], g_access.show_hidden);
    QWidget::setTabOrder(g_access.show_hidden, g_access.user);
    QWidget::setTabOrder(g_access.user, g_access.password);
    QWidget::setTabOrder(g_access.password, g_shell.controls[ID_START]);
    for (QLineEdit *e : {g_access.user, g_access.password})
        QObject::connect(e, &QLineEdit::returnPressed, w, [] {
            if (!g_shell.running)
                start_server();
        });
}

void enable_access_controls(bool running)
{
    for (QWidget *c : {static_cast<QWidget *>(g_access.show_hidden), static_cast<QWidget *>(g_access.user),
                       static_cast<QWidget *>(g_access.password)})
        c->setEnabled(!running);
}

// Hands the fields and the command line's users to the next start; false,
// with a warning, when a user lacks a password or the other way round.
bool apply_access_fields()
{
    const QByteArray user = g_access.user->text().toUtf8(), password = g_access.password->text().toUtf8();
    shell_settings s = g_command_line;
    s.show_hidden = g_access.show_hidden->isChecked();
    if (!user.isEmpty() || !password.isEmpty()) {
        if (user.isEmpty() || password.isEmpty() || user.contains(':')) {
            warn(TITLE, "A user needs a name without \":\" and a password.");
            return false;
        }
        if (user.size() + 1 + password.size() >= static_cast<int>(sizeof g_window_user)) {
            warn(TITLE, "The user name and password are too long.");
            return false;
        }
        snprintf(g_window_user, sizeof g_window_user, "%s:%s", user.constData(), password.constData());
        if (s.nauth < static_cast<int>(sizeof s.auth / sizeof s.auth[0]))
            s.auth[s.nauth++] = g_window_user;
    }
    set_publishing(s);
    return true;
}

// The fields start with the command-line settings, or the configuration defaults.
void fill_fields(const char *root, int port, const char *index_file)
{
    QByteArray home_root;
    if (!root) {
        const char *home = getenv("HOME");
        home_root = QByteArray(home && *home ? home : "") + "/webhome";
        root = home_root.constData();
    }
    config_store defaults;
    cfg_create(&defaults);
    cfg_defaults(&defaults, root);
    edit(ID_ROOT)->setText(QFile::decodeName(root));
    edit(ID_PORT)->setText(QString::number(port >= 0 ? port : defaults.server_port));
    edit(ID_PAGE)->setText(QFile::decodeName(index_file ? index_file : defaults.index_file));
    cfg_free(&defaults);
}

void on_browse_pem(QLineEdit *field, const char *caption)
{
    QString file = QFileDialog::getOpenFileName(g_shell.window, caption, field->text(), "PEM files (*.pem *.crt *.key);;All files (*)");
    if (!file.isEmpty())
        field->setText(file);
}

// The HTTPS controls, in two rows below the others.
void create_tls_controls(QWidget *w, const QFont &font)
{
    auto place = [&](QWidget *c, const char *name, int x, int y, int width) {
        c->setObjectName(name);
        c->setGeometry(x, y, width, 24);
        c->setFont(font);
    };
    g_shell.https = new QCheckBox("Use &HTTPS", w);
    place(g_shell.https, "https", 10, 272, 100);
    g_shell.self_signed = new QCheckBox("Sel&f-signed", w);
    place(g_shell.self_signed, "self_signed", 112, 272, 100);
    g_shell.self_signed->setToolTip("A key and certificate made at start for this machine; browsers warn about it");
    g_shell.fingerprint = new QLineEdit(w);
    place(g_shell.fingerprint, "fingerprint", 214, 272, 225);
    g_shell.fingerprint->setReadOnly(true);
    g_shell.fingerprint->setFocusPolicy(Qt::ClickFocus);
    g_shell.fingerprint->setPlaceholderText("SHA-256 fingerprint");
    g_shell.fingerprint->setToolTip("The certificate's SHA-256 fingerprint, to compare with the browser's");
    g_shell.cert = new QLineEdit(w);
    place(g_shell.cert, "cert", 10, 302, 172);
    g_shell.cert->setPlaceholderText("Certificate (PEM)");
    g_shell.cert_browse = new QPushButton("...", w);
    place(g_shell.cert_browse, "cert_browse", 184, 302, 36);
    g_shell.key = new QLineEdit(w);
    place(g_shell.key, "key", 228, 302, 172);
    g_shell.key->setPlaceholderText("Private key (PEM)");
    g_shell.key_browse = new QPushButton("...", w);
    place(g_shell.key_browse, "key_browse", 403, 302, 36);
    QObject::connect(g_shell.cert_browse, &QPushButton::clicked, w,
                     [] { on_browse_pem(g_shell.cert, "Certificate of the server (PEM)"); });
    QObject::connect(g_shell.key_browse, &QPushButton::clicked, w,
                     [] { on_browse_pem(g_shell.key, "Private key of the certificate (PEM)"); });
    QWidget *order[] = {g_shell.controls[ID_CLOSE], g_shell.https, g_shell.self_signed, g_shell.cert,
                        g_shell.cert_browse, g_shell.key, g_shell.key_browse};
    for (size_t i = 1; i < sizeof order / sizeof *order; i++)
        QWidget::setTabOrder(order[i - 1], order[i]);
    for (QCheckBox *box : {g_shell.https, g_shell.self_signed})
        QObject::connect(box, &QCheckBox::toggled, w, [] { set_running_controls(g_shell.running); });
}

}  // namespace

void window_set_tls(const char *cert_file, const char *key_file, bool self_signed)
{
    g_shell.https->setChecked(self_signed || cert_file);
    g_shell.self_signed->setChecked(self_signed);
    g_shell.cert->setText(QFile::decodeName(cert_file ? cert_file : ""));
    g_shell.key->setText(QFile::decodeName(key_file ? key_file : ""));
    set_running_controls(g_shell.running);
}

QWidget *window_create(const char *root, int port, const char *index_file, const char *bind_address)
{
    ASSERT(g_shell.window == nullptr);
    memset(&g_shell, 0, sizeof g_shell);

    auto *w = new main_window;
    g_shell.window = w;
    w->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint);
    w->setWindowTitle(TITLE);
    w->setWindowIcon(program_icon());
    w->setFixedSize(WINDOW_W, WINDOW_H);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen) {
        QRect area = screen->availableGeometry();
        w->move(area.x() + (area.width() - WINDOW_W) / 2, area.y() + (area.height() - WINDOW_H) / 2);
    }

    auto *icon = new QLabel(w);
    icon->setObjectName("icon");
    icon->setGeometry(10, 10, 40, 54);
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(QPixmap::fromImage(draw_icon(32)));

    QFont font = window_font();
    for (const control_def &c : CONTROLS)
        g_shell.controls[c.id] = create_control(w, c, font);
    for (size_t i = 1; i < sizeof TAB_ORDER / sizeof *TAB_ORDER; i++)
        QWidget::setTabOrder(g_shell.controls[TAB_ORDER[i - 1]], g_shell.controls[TAB_ORDER[i]]);
    qr_panel_create(w, font);
    // Tab goes from the status line to the address and its button, then on as before.
    QWidget *const qr_order[] = {
        g_shell.controls[ID_STATUS], g_qr.address, g_qr.copy, g_shell.controls[ID_CLEAN], g_shell.controls[ID_ABOUT],
        g_shell.controls[ID_CLOSE]};
    for (size_t i = 1; i < sizeof qr_order / sizeof *qr_order; i++)
        QWidget::setTabOrder(qr_order[i - 1], qr_order[i]);
    label(0)->setBuddy(g_shell.controls[ID_ROOT]);
    label(3)->setBuddy(g_shell.controls[ID_PAGE]);
    label(5)->setBuddy(g_shell.controls[ID_PORT]);
    create_access_controls(w, font);
    create_tls_controls(w, font);
    QLabel *status = label(ID_STATUS);
    status->setTextFormat(Qt::RichText);
    status->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QObject::connect(status, &QLabel::linkActivated, w,
                     [](const QString &link) { QDesktopServices::openUrl(QUrl(link)); });
    // Enter in a setting starts the server, as the Start button would.
    for (int id : {ID_ROOT, ID_PAGE, ID_PORT})
        QObject::connect(edit(id), &QLineEdit::returnPressed, w, [] {
            if (!g_shell.running)
                start_server();
        });
    g_shell.bind_address = bind_address;
    g_shell.max_age = -1;

    fill_fields(root, port, index_file);
    g_shell.controls[ID_CLEAN]->setEnabled(false);

    QObject::connect(button(ID_START), &QPushButton::clicked, w, on_start_stop);
    QObject::connect(button(ID_CLEAN), &QPushButton::clicked, w, server_clean);
    QObject::connect(button(ID_BROWSE), &QPushButton::clicked, w, on_browse);
    QObject::connect(button(ID_CLOSE), &QPushButton::clicked, w, on_close);
    QObject::connect(button(ID_ABOUT), &QPushButton::clicked, w, on_about);

    auto *timer = new QTimer(w);
    timer->setObjectName("tick");
    QObject::connect(timer, &QTimer::timeout, w, on_tick);
    timer->start(TICK_MS);

    // Socket events wait on the loop's one descriptor; they are delivered on this thread.
    if (ev_loop *loop = net_loop()) {
        auto *notifier = new QSocketNotifier(ev_fd(loop), QSocketNotifier::Read, w);
        QObject::connect(notifier, &QSocketNotifier::activated, w, [loop] { ev_poll(loop, 0); });
    }
    net_set_message_handler(show_server_message);

    // The tray's menu; Open in browser is in the window's context menu too, on Ctrl+O.
    auto *show_action = new QAction("Show &window", w);
    show_action->setObjectName("show_action");
    QObject::connect(show_action, &QAction::triggered, w, show_window);
    g_shell.open_action = new QAction("&Open in browser", w);
    g_shell.open_action->setObjectName("open_action");
    g_shell.open_action->setShortcut(QKeySequence("Ctrl+O"));
    QObject::connect(g_shell.open_action, &QAction::triggered, w, open_in_browser);
    g_shell.start_action = new QAction(w);
    g_shell.start_action->setObjectName("start_action");
    QObject::connect(g_shell.start_action, &QAction::triggered, w, on_start_stop);
    auto *quit_action = new QAction("&Quit", w);
    quit_action->setObjectName("quit_action");
    QObject::connect(quit_action, &QAction::triggered, w, on_close);
    w->addAction(g_shell.open_action);
    w->setContextMenuPolicy(Qt::ActionsContextMenu);
    set_running_controls(false);

    auto *menu = new QMenu(w);
    menu->setObjectName("tray_menu");
    menu->addActions({show_action, g_shell.open_action, g_shell.start_action});
    menu->addSeparator();
    menu->addAction(quit_action);

    g_shell.tray = new QSystemTrayIcon(program_icon(), w);
    g_shell.tray->setObjectName("tray");
    g_shell.tray->setToolTip(TITLE);
    g_shell.tray->setContextMenu(menu);
    QObject::connect(g_shell.tray, &QSystemTrayIcon::activated, w, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            show_window();
    });
    g_shell.tray->show();

    // Another copy that finds the lock held asks this one to come to the front.
    if (instance_fd() >= 0) {
        auto *requests = new QSocketNotifier(instance_fd(), QSocketNotifier::Read, w);
        QObject::connect(requests, &QSocketNotifier::activated, w, [] {
            if (instance_take_requests())
                show_window();
        });
    }
    return w;
}

int run_window(int argc, char **argv, const shell_settings &settings)
{
    int qt_argc = argc;
    QApplication *own_app = nullptr;
    if (!QApplication::instance())
        own_app = new QApplication(qt_argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(program_icon());

    int code = 0;
    if (!instance_lock()) {
        instance_notify();  // the first copy's window comes to the front
        QMessageBox::warning(nullptr, TITLE, "You can't start the second copy of this application.");
    } else {
        g_command_line = settings;
        QWidget *w = window_create(settings.root, settings.port, settings.index_file, settings.bind_address);
        g_shell.max_age = settings.max_age;
        window_set_tls(settings.tls_cert, settings.tls_key, settings.tls_self_signed);
        QMetaObject::Connection quit = QObject::connect(w, &QObject::destroyed, [] { QCoreApplication::exit(0); });
        w->show();
        code = QApplication::exec();
        QObject::disconnect(quit);
        delete g_shell.window;
        instance_unlock();
    }
    delete own_app;
    return code;
}
