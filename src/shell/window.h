// The desktop front end: the settings window, its counters, the tray icon and
// the single-instance lock, all on the thread of the Qt event loop.
#pragma once

class QWidget;
struct shell_settings;

// Runs the window program until Close; the settings fill the fields (a null root,
// a negative port or a null page name take the defaults). Needs a QApplication-capable
// display; returns the exit status.
int run_window(int argc, char **argv, const shell_settings &settings);

// Builds the main window with its controls, timer, socket notifier and tray icon,
// centred and not yet shown. There is one at a time; deleting it stops a running
// server. Controls carry object names: root, browse, page, port, start, clean,
// close, about, status, the counters sent, recv, online, total, files, blocks,
// confs, caches, tasks; the tray icon is named tray and the timer tick.
QWidget *window_create(const char *root, int port, const char *index_file, const char *bind_address = nullptr);

// Sets the HTTPS choices (as --tls-cert, --tls-key, --tls-self-signed would);
// the controls are named https, self_signed, cert, cert_browse, key,
// key_browse, and fingerprint, which shows the running server's.
void window_set_tls(const char *cert_file, const char *key_file, bool self_signed);
