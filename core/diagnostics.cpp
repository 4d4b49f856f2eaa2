#include "diagnostics.h"

#include "device/platform/safe_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::mutex output_lock;

// Read once: the engines print per directory entry and must not pay for an environment
// lookup each time.
bool console_enabled() {
    static const bool enabled = qEnvironmentVariable("ORVANE_CONSOLE") == QLatin1String("1");
    return enabled;
}

QByteArray vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return QByteArray(buffer.data(), n);
}

}  // namespace

void console_print(const QString& text) {
    if (!console_enabled()) {
        return;
    }
    std::lock_guard<std::mutex> hold(output_lock);
    QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), stdout);
    std::fflush(stdout);
}

void console_printf(const char* format, ...) {
    if (!console_enabled()) {
        return;
    }
    va_list args;
    va_start(args, format);
    QByteArray text = vformat(format, args);
    va_end(args);
    console_print(QString::fromUtf8(text));
}

QString error_log_path() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) {
        state = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return state + QStringLiteral("/OrvaneRecovery/Pellomar.log");
}

void error_report(const char* source, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    QByteArray message = vformat(format, args);
    va_end(args);

    std::time_t now = std::time(nullptr);
    char stamp[64] = {0};
    char text[64] = {0};          // ctime_r needs 26 bytes
    if (::ctime_r(&now, text)) {  // "Mon Dec  7 08:23:47 2026\n"; ctime's buffer is shared
        std::snprintf(stamp, sizeof stamp, "%s", text);
        for (char* p = stamp; *p; ++p) {
            if (*p == '\r' || *p == '\n') {
                *p = 0;
                break;
            }
        }
    }

    std::lock_guard<std::mutex> hold(output_lock);
    // The log is appended to, never followed through a link nor taken over from another
    // user; its folder is made as any other output.
    const QByteArray entry =
        QByteArray(stamp) + "  [" + source + ':' + QByteArray::number(line) + "] " + message + '\n';
    std::string name;
    std::string why;
    const int dir =
        platform::open_parent(QFile::encodeName(error_log_path()).toStdString(), true, &name, &why);
    if (dir >= 0) {
        const int log = platform::open_append(dir, name, &why);
        if (log >= 0) {
            const ssize_t written = ::write(log, entry.constData(), entry.size());
            (void)written;  // a log that cannot be written is no reason to fail the caller
            ::close(log);
        }
        ::close(dir);
    }
    // A developer's line: on the console only when asked for, never beside the tool's
    // messages to the user.
    if (console_enabled()) {
        std::fprintf(stderr, "ERROR: [%s:%d] %s\n", source, line, message.constData());
        std::fflush(stderr);
    }
}
