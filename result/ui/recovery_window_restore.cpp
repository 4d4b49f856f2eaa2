// The scan page's restoration and preview: what the user gets back from a scan.
#include "result/ui/recovery_window.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "engine/restore_names.h"
#include "engine/restore_writer.h"
#include "result/file_list.h"
#include "result/ui/my_table_view.h"
#include "result/ui/picture_decode.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_model.h"
#include "result/ui/restore_summary_bar.h"
#include "result/ui/tree_model.h"
#include "skin/message_box.h"
#include "skin/progress_bar.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHash>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>

namespace {

constexpr std::uint64_t preview_limit = 5242880;  // bytes: larger files are not previewed
constexpr qint64 preview_text_bytes = 8192;
constexpr qint64 preview_picture_bytes = 64 << 20;  // larger files show no picture
constexpr int preview_side = 2048;                  // pixels, the longer edge
constexpr int summary_names = 20;                   // failed files named in the summary

}  // namespace

namespace {

// Copies a live file's bytes into sink; 0 only when every byte was copied.
int copy_live_into(const QString& source, restore_sink_c* sink) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return -1;
    }
    QByteArray buffer(0x20000, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0) {
            return -1;  // a read that fails half-way is a failed copy
        }
        if (got == 0) {
            return 0;
        }
        if (!sink->write(buffer.constData(), static_cast<std::size_t>(got))) {
            return -1;
        }
    }
}

}  // namespace

int recovery_window_c::copy_live_file(const QString& source, const QString& target) {
    if (!QFileInfo(source).isFile() || QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        return -1;
    }
    const auto fill = [&](restore_sink_c* sink) { return copy_live_into(source, sink); };
    return restore_writer_c::write_exact(target, fill) == restore_written ? 0 : -1;
}

int recovery_window_c::restore_into(const recovery_item_s& item, restore_sink_c* sink, QString* why,
                                    bool* overwritten) {
    QMutexLocker lock(&restore_lock);
    if (overwritten) {
        *overwritten = false;
    }
    if (engine_thread_running.load()) {
        // The engines' results belong to the scanning thread until it ends (a paused deep
        // scan's listing is a copy): nothing is read through them before.
        if (why) {
            *why = QStringLiteral("a scan is running");
        }
        return -1;
    }
    recovery_base_c* engine = nullptr;
    int result = -1;
    switch (session.engine_kind()) {
        case engine_ntfs: {
            engine = &session.ntfs_engine();
            const volume_item_s& v = session.target();
            // A live file is copied through the mounted file system; an unmounted volume
            // (its path is its device) has none, and the library reads the file itself.
            if ((item.attributes & 0x80) || v.path.isEmpty() || v.path == v.device_name ||
                !QFileInfo(v.path).isDir()) {
                result = engine->restore_into(item.file_key, sink);
                break;
            }
            QString path;
            if (engine->get_file_path(item.file_key, &path) < 0) {
                if (why) {
                    *why = QStringLiteral("its path on the mounted volume is not known");
                }
                return -1;
            }
            result = copy_live_into(path, sink);
            if (result != 0 && why) {
                *why = QStringLiteral("'%1' could not be read whole").arg(path);
            }
            return result;
        }
        case engine_fat:
            engine = &session.fat_engine();
            break;
        case engine_signature:
            engine = &session.raw_engine();
            break;
        case engine_exfat:
            engine = &session.exfat_engine();
            break;
        case engine_ext4:
            engine = &session.ext4_engine();
            break;
        case engine_none:
            return -1;
    }
    if (session.engine_kind() != engine_ntfs) {
        result = engine->restore_into(item.file_key, sink);
    }
    if (result != 0 && why) {
        *why = engine->get_error_text();
    }
    if (overwritten) {
        *overwritten = result == 0 && engine->last_restore_overwritten();
    }
    return result;
}

int recovery_window_c::restore_to(const recovery_item_s& item, const QString& target) {
    const auto fill = [&](restore_sink_c* sink) { return restore_into(item, sink); };
    return restore_writer_c::write_exact(target, fill) == restore_written ? 0 : -1;
}

int recovery_window_c::restore_one(const QDir& folder, const recovery_item_s& item) {
    restore_writer_c writer;
    if (!writer.open(folder.absolutePath())) {
        return -1;
    }
    const auto fill = [&](restore_sink_c* sink) { return restore_into(item, sink); };
    return writer.write_file(restore_writer_c::top_folder, restored_name(item), item.size, fill,
                             nullptr, {item.date1, item.accessed}) == restore_written
               ? 0
               : -1;
}

std::vector<restore_job_s> recovery_window_c::ticked_jobs(
    std::vector<restore_folder_s>* folders) const {
    // Exactly what the ticks show: every ticked file of every folder of the tree, read from
    // the engine's results (the open folder's list is one of them).
    std::vector<restore_job_s> jobs;
    folders->assign(1, restore_folder_s{});  // the destination itself
    if (!tree_model) {
        return jobs;
    }
    const bool keep = keep_folders->isChecked();
    const bool checked_only = verified_only->isChecked();
    // Each tree folder that gets a file, and the folders above it, once in the list: by name
    // and parent, never by path.
    QHash<const folder_node*, int> listed;
    const auto folder_of = [&](const folder_node* node) {
        std::vector<const folder_node*> up;
        int parent = 0;
        // Up to the top folder "/" (its parent is the hidden root), which is the destination.
        for (const folder_node* n = node; n->parent && n->parent->parent; n = n->parent) {
            if (const auto known = listed.constFind(n); known != listed.constEnd()) {
                parent = known.value();
                break;
            }
            up.push_back(n);
        }
        for (auto it = up.rbegin(); it != up.rend(); ++it) {
            folders->push_back({(*it)->title, parent});
            parent = static_cast<int>(folders->size() - 1);
            listed.insert(*it, parent);
        }
        return parent;
    };
    std::vector<recovery_item_s> files;
    std::vector<const folder_node*> stack;
    for (auto it = tree_model->root()->children.rbegin(); it != tree_model->root()->children.rend();
         ++it) {
        stack.push_back(it->get());
    }
    while (!stack.empty()) {
        const folder_node* node = stack.back();
        stack.pop_back();
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            stack.push_back(it->get());
        }
        if (node->own == own_ticks_e::none || node->own_files == 0) {
            continue;
        }
        fill_file_list(files, session.current(), session.engine_kind(), node->folder_ref);
        int folder = -1;
        for (recovery_item_s& item : files) {
            if (TreeModel::file_ticked(node, item) && !(checked_only && item.unverified)) {
                if (folder < 0) {
                    folder = keep ? folder_of(node) : 0;
                }
                item.checked = true;
                // A deep scan's file is dated from its own metadata (as the table shows).
                const std::int64_t modified = session.engine_kind() != engine_signature ? 0
                                              : item.date1 != 0                         ? item.date1
                                                                : item.date2;
                jobs.push_back({std::move(item), folder, modified});
            }
        }
    }
    return jobs;
}

void recovery_window_c::on_recovery_clicked() {
    if (restoration_running()) {
        warning_box("recovery_busy", QMessageBox::Ok);  // one restoration at a time
        return;
    }
    if (session.scanning()) {
        warning_box("recovery_scan_running", QMessageBox::Ok);
        return;
    }
    if (!session.has_results() || !tree_model || tree_model->found_totals().files == 0) {
        warning_box("recovery_nothing_to_recover", QMessageBox::Ok);
        return;
    }
    std::vector<restore_folder_s> folders;
    std::vector<restore_job_s> jobs = ticked_jobs(&folders);
    if (jobs.empty()) {
        warning_box("recovery_check_warning", QMessageBox::Ok);
        return;
    }
    const QString folder = QFileDialog::getExistingDirectory(
        this, text("recovery_select"), QDir::homePath(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) {
        return;
    }
    if (platform::folder_on_volume(folder, session.target().device_name) &&
        warning_box("recovery_same_volume_warning", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes) {
        return;
    }
    if (!worker) {
        worker = new recovery_file_c(this, this);
        connect(worker, &QThread::finished, this, &recovery_window_c::on_restoration_finished);
    }
    if (session.engine_kind() == engine_signature) {
        // Read in the order of the files on the volume, so a disk reads forwards: each file
        // has its own name in its own folder, so the order it is written in changes nothing.
        const auto& records = session.raw_engine().records();
        const auto offset = [&](const restore_job_s& job) {
            return job.item.file_key < records.size() ? records[job.item.file_key].offset : 0;
        };
        std::stable_sort(
            jobs.begin(), jobs.end(),
            [&](const restore_job_s& a, const restore_job_s& b) { return offset(a) < offset(b); });
    }
    worker->set_jobs(QDir(folder), std::move(jobs), std::move(folders));
    restore_shown = false;
    worker->start(QThread::InheritPriority);
    update();
}

void recovery_window_c::on_restoration_finished() {
    session.raw_engine().release_volume();  // kept open by the deep scan's restores
    const int total = static_cast<int>(worker->jobs().size());
    const int failed = static_cast<int>(worker->failures.size());
    const int overwritten = worker->overwritten.load(std::memory_order_relaxed);
    const int unverified = worker->unverified.load(std::memory_order_relaxed);
    restore_status = overwritten > 0 ? text("recovery_summary_overwritten")
                                           .arg(worker->restored)
                                           .arg(total)
                                           .arg(failed)
                                           .arg(overwritten)
                     : unverified > 0
                         ? text("recovery_summary_unverified")
                               .arg(worker->restored)
                               .arg(total)
                               .arg(failed)
                               .arg(unverified)
                         : text("recovery_summary").arg(worker->restored).arg(total).arg(failed);
    // The bar ends where the restoration ended: full when every file was tried.
    restore_shown = true;
    progress->value = restore_fraction();
    update();
    show_restore_summary();
}

void recovery_window_c::show_restore_summary() {
    const int total = static_cast<int>(worker->jobs().size());
    const int failed = static_cast<int>(worker->failures.size());
    // Files that may hold other data: possibly overwritten, or not checked whole.
    const int overwritten = worker->overwritten.load(std::memory_order_relaxed) +
                            worker->unverified.load(std::memory_order_relaxed);
    QString summary = restore_status;
    if (failed > 0) {
        summary += QStringLiteral("\n\n") + text("recovery_failed_files");
        for (int i = 0; i < failed && i < summary_names; ++i) {
            summary += QStringLiteral("\n") + worker->failures.at(i);
        }
        if (failed > summary_names) {
            summary += QStringLiteral("\n…");
        }
    }
    message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), summary,
                      QMessageBox::Ok, this);
    QPushButton* open = box.addButton(text("recovery_open_folder"), QMessageBox::ActionRole);
    open->setObjectName(QStringLiteral("btn_open_folder"));
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);  // Escape closes the summary as Enter does
    auto* bar = new restore_summary_bar_c(worker->restored - overwritten, overwritten,
                                          total - worker->restored, &box);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        // Under the text, across the box.
        grid->addWidget(bar, grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.exec();
    if (box.clickedButton() != open) {
        return;
    }
    const QString where = worker->destination.absolutePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(where))) {
        message_box_c failed_box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                                 text("recovery_open_folder_failed") + QLatin1Char('\n') + where,
                                 QMessageBox::Ok, this);
        failed_box.setTextInteractionFlags(Qt::TextSelectableByMouse);
        failed_box.exec();
    }
}

void recovery_window_c::on_list_clicked(const QModelIndex& index) {
    if (!index.isValid() || index.row() >= static_cast<int>(file_list.size())) {
        return;
    }
    preview_shown = false;
    const recovery_item_s& item = file_list[static_cast<std::size_t>(index.row())];
    if (index.column() == 0) {
        table_model->set_checked(index.row(), !item.checked);
        on_file_ticks_changed();
    }
    if (item.size <= preview_limit) {
        start_preview(item);
    }
    update();
}

void recovery_window_c::start_preview(const recovery_item_s& item) {
    if (!preview_folder.isValid()) {
        return;
    }
    if (preview_thread) {
        preview_next = std::make_unique<recovery_item_s>(item);  // the latest click wins
        return;
    }
    preview_running = item;
    preview_path = preview_folder.filePath(QStringLiteral("preview-") + safe_file_name(item.name));
    QFile::remove(preview_path);
    // Off the user-interface thread: up to 5 MiB from a slow disk takes a while.
    preview_thread = QThread::create([this] {
        try {
            preview_result = restore_to(preview_running, preview_path);
        } catch (...) {
            preview_result = -1;
        }
    });
    connect(preview_thread, &QThread::finished, this, &recovery_window_c::on_preview_finished);
    preview_thread->start();
}

void recovery_window_c::wait_preview() {
    if (preview_thread) {
        preview_thread->wait();
        delete preview_thread;
        preview_thread = nullptr;
    }
    preview_next.reset();
}

void recovery_window_c::on_preview_finished() {
    if (!preview_thread) {
        return;  // waited for and dropped already
    }
    preview_thread->wait();
    preview_thread->deleteLater();
    preview_thread = nullptr;
    if (preview_next) {
        const recovery_item_s next = *preview_next;
        preview_next.reset();
        start_preview(next);
        return;
    }
    if (preview_result == 0) {
        preview_item = preview_running;
        load_preview();
        preview_shown = true;
    }
    update();
}

QString recovery_window_c::preview_text_of(const QByteArray& bytes) {
    QString text;
    if (bytes.size() > 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        const qsizetype units = (bytes.size() - 2) / 2;
        text.reserve(units);
        for (qsizetype i = 0; i < units; ++i) {
            const auto lo = static_cast<unsigned char>(bytes[2 + 2 * i]);
            const auto hi = static_cast<unsigned char>(bytes[3 + 2 * i]);
            const char16_t unit = static_cast<char16_t>(lo | (hi << 8));
            if (unit == 0) {
                break;
            }
            text += QChar(unit);
        }
        return text;
    }
    QByteArray body = bytes;
    if (bytes.size() > 3 && bytes.startsWith("\xEF\xBB\xBF")) {
        body = bytes.mid(3);
    }
    const qsizetype zero = body.indexOf('\0');
    if (zero >= 0) {
        body.truncate(zero);
    }
    return QString::fromUtf8(body);
}

bool recovery_window_c::looks_like_text(const QByteArray& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        return true;  // UTF-16, as Windows writes it
    }
    // UTF-8 (ASCII included) without NUL bytes and with few control characters; a cut
    // character at the end of the bytes read does not count.
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(bytes.first(std::max<qsizetype>(0, bytes.size() - 3)));
    if (utf8.hasError()) {
        return false;
    }
    qsizetype control = 0;
    for (const QChar c : decoded) {
        if (c.unicode() == 0) {
            return false;
        }
        if (c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\r') &&
            c != QLatin1Char('\t') && c != QLatin1Char('\f')) {
            ++control;
        }
    }
    return control * 100 <= decoded.size();
}

void recovery_window_c::load_preview() {
    preview_content_image = QImage();
    preview_content_text.clear();
    preview_is_binary = false;
    // Any picture of pixels Qt reads, told by its content, decoded in the picture child
    // and no larger than the preview can show.
    QFile picture(preview_path);
    if (picture.open(QIODevice::ReadOnly) && picture.size() <= preview_picture_bytes) {
        const QImage image = decode_picture_apart(picture.readAll(), {}, preview_side);
        if (!image.isNull() && image.width() > 0 && image.height() > 0) {
            preview_content_image = image;
        }
    }
    picture.close();
    if (preview_content_image.isNull()) {
        QFile file(preview_path);
        if (file.open(QIODevice::ReadOnly)) {
            // Text only for text: a document, archive or program shows its icon and size.
            const QByteArray head = file.read(preview_text_bytes);
            if (looks_like_text(head)) {
                preview_content_text = preview_text_of(head);
            } else {
                preview_is_binary = true;
            }
        }
    }
    QFile::remove(preview_path);  // what is shown is kept in memory
}
