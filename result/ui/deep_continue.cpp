#include "result/ui/deep_continue.h"

#include "core/settings.h"
#include "skin/message_box.h"

#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace {

QString device_of(const volume_item_s& volume) {
    QString device = volume.volume_name;
    if (device.endsWith(QLatin1Char('\\'))) {
        device.chop(1);
    }
    return device;
}

}  // namespace

bool pending_deep_scan(const volume_item_s& volume, scan_checkpoint_s* checkpoint) {
    const QString device = device_of(volume);
    if (device.isEmpty()) {
        return false;
    }
    scan_checkpoint_s kept;
    if (!read_checkpoint(checkpoint_path(device), &kept) || kept.device_path != device) {
        return false;
    }
    const QByteArray now = volume_identity(device);
    if (now.isEmpty() || now != kept.identity || !checkpoint_files_unchanged(kept)) {
        return false;  // another volume under that name now, or one that changed since
    }
    *checkpoint = std::move(kept);
    return true;
}

deep_continue_e ask_continue_deep_scan(QWidget* parent, const volume_item_s& volume,
                                       const scan_checkpoint_s& checkpoint) {
    // The size is the identity's first eight bytes (little-endian), as the scan wrote it.
    std::uint64_t size = volume.total_bytes;
    if (checkpoint.identity.size() >= 8) {
        size = 0;
        for (int i = 0; i < 8; ++i) {
            size |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(checkpoint.identity[i]))
                    << (8 * i);
        }
    }
    const double done = 100.0 * static_cast<double>(std::min(checkpoint.resume_at, size)) /
                        static_cast<double>(std::max<std::uint64_t>(1, size));
    message_box_c box(
        QMessageBox::Question, QStringLiteral("OrvaneRecovery"),
        plural_text("deep_continue_query", static_cast<qint64>(checkpoint.records.size()))
            .arg(QString::number(done, 'f', 1)),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
    box.button(QMessageBox::Yes)->setText(text("btn_continue_scan"));
    box.button(QMessageBox::No)->setText(text("btn_start_again"));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return deep_continue_e::continue_scan;
        case QMessageBox::No:
            return deep_continue_e::start_again;
        default:
            return deep_continue_e::cancel;
    }
}
