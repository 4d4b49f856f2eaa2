#pragma once
// Developer diagnostics: a console print and a stamped error log.
//
// Neither reaches a user: console_print writes to standard output only when ORVANE_CONSOLE=1
// is set, so the orvane tool's output stays clean. Safe from any thread.

#include <QString>

void console_print(const QString& text);
// printf-style convenience for the engines' fixed messages.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends "<ctime stamp>  [source:line] message" to Pellomar.log in the user's state folder,
// and with ORVANE_CONSOLE=1 writes "ERROR: [source:line] message" to standard error too.
// Users see the caller's own message, not this line.
void error_report(const char* source, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Where error_report appends: $XDG_STATE_HOME/OrvaneRecovery/Pellomar.log.
QString error_log_path();
