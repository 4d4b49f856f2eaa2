// The scan page's loading of a scan file: the records are read and bound to their volume at
// once; the names and dates the found files carry are read from the volume on a thread of
// their own, with the page's progress, and the files are listed when they are known.
#include "result/ui/recovery_window.h"

#include "core/diagnostics.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "result/ui/recovery_model.h"
#include "result/ui/tree_model.h"
#include "skin/message_box.h"
#include "skin/progress_bar.h"
#include "ui_recovery_window.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QMovie>
#include <QThread>

std::vector<volume_item_s> recovery_window_c::scan_file_volumes() {
    // Every listed volume, and every drive whole: a deep scan of a whole drive or image
    // saves the drive's name.
    std::vector<volume_item_s> volumes(volume_list.begin() + (volume_list.empty() ? 0 : 1),
                                       volume_list.end());
    for (const drive_item_s& drive : drive_list) {
        if (!drive.name.isEmpty()) {
            volumes.push_back(whole_drive_volume(drive));
        }
    }
    return volumes;
}

int recovery_window_c::resume_scan_file() {
    if (scanning || session.scanning() || restoration_running()) {
        return -1;  // loading replaces the records a running scan or restoration uses
    }
    const QString path = QFileDialog::getOpenFileName(
        this, text("recovery_open_title"), QDir::currentPath(),
        QStringLiteral("OrvaneRecovery Scan files (*.sav);;All files (*)"));
    if (path.isEmpty() || !may_drop_results("back_warning")) {
        return -1;  // nothing changes
    }
    clear_results();
    session.abort();
    progress->value = 0;
    timer.stop();
    const std::vector<volume_item_s> volumes = scan_file_volumes();
    QString device;
    QString why;
    session.trust_unbound_scan_files(false);
    int loaded = session.resume_scan_file(path, volumes, &device, &why, false);
    if (loaded == scan_session_c::resume_untrusted) {
        if (warning_box("recovery_trust_scan_file", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes) {
            return -1;  // the user did not vouch for a file that names no volume identity
        }
        // The user vouches for this one file.
        session.trust_unbound_scan_files(true);
        loaded = session.resume_scan_file(path, volumes, &device, &why, false);
        session.trust_unbound_scan_files(false);
    }
    if (loaded != 0) {
        // Never a silent no: say why this file cannot be shown.
        console_print(QStringLiteral("cannot load the scan file %1: %2\n")
                          .arg(path, why.isEmpty() ? QStringLiteral("not a scan file") : why));
        bool listed = false;
        for (const volume_item_s& v : volumes) {
            QString name = v.volume_name;
            if (name.endsWith(QLatin1Char('\\'))) {
                name.chop(1);
            }
            listed = listed || (!name.isEmpty() && name == device);
        }
        QString message;
        if (device.isEmpty()) {
            message = text("recovery_load_not_scan_file").arg(QFileInfo(path).fileName());
        } else if (!listed) {
            message = text("recovery_load_no_volume").arg(device);
        } else {
            message = text("recovery_load_changed").arg(device);
        }
        message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), message,
                          QMessageBox::Ok, window());
        box.exec();
        return -1;
    }
    deep_scan = true;  // a scan file holds a deep scan's results
    volume = session.target();
    loaded_path = path;
    // Until the names and dates are read, the page is busy as during a scan.
    scanning = true;
    left = false;
    loaded_info.clear();
    form->btn_pause->hide();
    form->btn_stop->hide();
    form->btn_filter->hide();
    movie->start();
    timer.start(200);
    meta_stop = false;
    meta_done = 0;
    meta_total = session.raw_engine().records().size();
    raw_recovery_c* engine = &session.raw_engine();
    meta_thread = QThread::create([this, engine] {
        engine->read_metadata([this](std::size_t done, std::size_t total) {
            meta_done.store(done, std::memory_order_relaxed);
            meta_total.store(total, std::memory_order_relaxed);
            return !meta_stop.load(std::memory_order_relaxed);
        });
    });
    connect(meta_thread, &QThread::finished, this, &recovery_window_c::on_metadata_read);
    meta_thread->start();
    update();
    return 0;
}

double recovery_window_c::metadata_fraction() const {
    const std::size_t total = meta_total.load(std::memory_order_relaxed);
    return total == 0 ? 0.0
                      : static_cast<double>(meta_done.load(std::memory_order_relaxed)) /
                            static_cast<double>(total);
}

void recovery_window_c::stop_metadata() {
    if (!meta_thread) {
        return;
    }
    meta_stop = true;
    meta_thread->wait();
    delete meta_thread;
    meta_thread = nullptr;
    scanning = false;
    movie->stop();
}

void recovery_window_c::on_metadata_read() {
    if (!meta_thread || sender() != meta_thread) {
        return;  // stopped and waited for (leaving the page)
    }
    meta_thread->wait();
    meta_thread->deleteLater();
    meta_thread = nullptr;
    finish_scan(false);  // ends the "scan" that loading stands for
    saved = true;        // the results are in the file just loaded
    // What was loaded, in place of a scan's progress.
    QString name = volume.label.isEmpty() ? volume.device_name : volume.label;
    if (!volume.label.isEmpty() && !volume.path.isEmpty()) {
        name += QStringLiteral(" (") + volume.path + QLatin1Char(')');
    }
    loaded_info = text("recovery_loaded")
                      .arg(name, QLocale().toString(QFileInfo(loaded_path).lastModified(),
                                                    QLocale::ShortFormat));
    form->btn_pause->hide();
    form->btn_filter->hide();
    update();
}
