// The desktop program: one running copy per user, settings and texts before the
// application object, the main window shown at once and the devices listed by init_c.

#include "app/ui/fonts.h"
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "app/ui/qt_translations.h"
#include "app/ui/single_instance.h"
#include "core/diagnostics.h"
#include "core/settings.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_helper.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLockFile>
#include <QStandardPaths>

#include <cstdio>
#include <memory>

#include <sys/prctl.h>

namespace {

QString runtime_folder() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    // Not dumpable: no other process of this user may attach to this one or take its
    // descriptors (pidfd_getfd), such as a disk that the privileged helper opened for it.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // A second copy brings the running one to the front and ends. A lock file that cannot
    // be made at all (no runtime folder) does not stop the program: it then runs as the only
    // copy.
    // The lock records the program's name: a lock whose process now runs another program
    // counts as stale, so the name must be the executable's before the lock is taken.
    QCoreApplication::setApplicationName(
        QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().section(QLatin1Char('/'), -1));
    QLockFile lock(runtime_folder() + QStringLiteral("/OrvaneRecovery"));
    lock.setStaleLockTime(0);  // a lock is stale only when its process is gone
    const QString socket_path = runtime_folder() + QStringLiteral("/OrvaneRecovery.socket");
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        // Said on the terminal, where the user who started this copy looks.
        if (single_instance_c::notify_running(socket_path)) {
            std::fputs(
                "OrvaneRecovery is already running; its window has been brought to the "
                "front.\n",
                stdout);
            return 0;
        }
        std::fputs("OrvaneRecovery is already running, but its window did not answer.\n", stderr);
        return 1;
    }

    load_settings();
    if (!QFileInfo::exists(data_folder() + QStringLiteral("/language.ini"))) {
        error_report(__FILE__, __LINE__, "no language.ini in the data folder %s",
                     qPrintable(data_folder()));
        // The user's own line: the program shows no text it cannot look up.
        std::fprintf(stderr, "orvane-recovery: no language.ini in the data folder %s\n",
                     qPrintable(data_folder()));
    }
    platform::set_configured_images(settings_images());
    // The window runs as the user: a disk the user may not read is opened by the
    // privileged helper, after polkit has asked for the administrator's password.
    platform::set_device_helper_enabled(true);
    auto app = std::make_unique<QApplication>(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvane.OrvaneRecovery"));
    install_font_substitutions();
    install_qt_translations(language_state().current_name);
    init_image_resources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/top.ico")));

    auto window = std::make_unique<main_window_c>();
    auto init = std::make_unique<init_c>();
    QObject::connect(init.get(), &init_c::init_finished, window.get(),
                     &main_window_c::on_init_finished);
    init->start(QThread::InheritPriority);
    window->show();
    single_instance_c instance(socket_path);
    QObject::connect(&instance, &single_instance_c::raise_requested, window.get(),
                     &main_window_c::raise_window);
    if (lock.isLocked()) {
        instance.listen();
    }
    const int result = app->exec();

    init->wait();  // closed before start-up ended: let the worker finish first
    init.reset();
    window.reset();
    app.reset();
    return result;
}
