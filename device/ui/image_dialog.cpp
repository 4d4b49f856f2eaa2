#include "device/ui/image_dialog.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/platform/platform_write.h"
#include "device/ui/image_worker.h"
#include "device/ui/volume_window.h"
#include "skin/message_box.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString duration_text(double seconds) {
    if (seconds < 0) {
        return QStringLiteral("-");
    }
    const auto s = static_cast<long long>(seconds + 0.5);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

void message(QWidget* parent, QMessageBox::Icon icon, const QString& words) {
    message_box_c box(icon, QStringLiteral("OrvaneRecovery"), words, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

image_dialog_c::image_dialog_c(QWidget* parent, const QString& drive_name, const QString& output)
    : QDialog(parent), drive_name_(drive_name), output_(output) {
    setWindowTitle(text("image_title"));
    setModal(true);
    setMinimumWidth(520);
    auto* layout = new QVBoxLayout(this);
    auto* source = new QLabel(QStringLiteral("%1\n→ %2").arg(drive_name, output), this);
    source->setWordWrap(true);
    layout->addWidget(source);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(true);
    layout->addWidget(bar_);
    auto* grid = new QGridLayout;
    const auto row = [&](int r, const char* key) {
        grid->addWidget(new QLabel(text(key), this), r, 0);
        auto* value = new QLabel(QStringLiteral("-"), this);
        value->setObjectName(QLatin1String(key));
        grid->addWidget(value, r, 1);
        return value;
    };
    rescued_ = row(0, "image_rescued");
    bad_ = row(1, "image_bad");
    speed_ = row(2, "image_speed");
    left_ = row(3, "image_left");
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    state_ = new QLabel(this);
    state_->setWordWrap(true);
    layout->addWidget(state_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    pause_ = new QPushButton(text("image_pause"), this);
    stop_ = new QPushButton(text("image_stop"), this);
    pause_->setObjectName(QStringLiteral("image_pause"));
    stop_->setObjectName(QStringLiteral("image_stop"));
    buttons->addWidget(pause_);
    buttons->addWidget(stop_);
    layout->addLayout(buttons);
    connect(pause_, &QPushButton::clicked, this, &image_dialog_c::on_pause);
    connect(stop_, &QPushButton::clicked, this, &image_dialog_c::on_stop);
    timer_ = new QTimer(this);
    timer_->setInterval(250);
    connect(timer_, &QTimer::timeout, this,
            [this] { show_progress(worker_ ? worker_->progress() : rescue_progress_s{}); });
}

image_dialog_c::~image_dialog_c() = default;

void image_dialog_c::start() {
    worker_ = new image_worker_c(drive_name_, output_, this);
    connect(worker_, &QThread::finished, this, &image_dialog_c::on_finished);
    worker_->start();
    timer_->start();
}

void image_dialog_c::show_progress(const rescue_progress_s& p) {
    if (p.size > 0) {
        bar_->setValue(static_cast<int>(static_cast<double>(p.rescued + p.bad_bytes) * 1000.0 /
                                        static_cast<double>(p.size)));
    }
    rescued_->setText(QStringLiteral("%1 / %2").arg(format_size(p.rescued), format_size(p.size)));
    bad_->setText(QStringLiteral("%1 (%2)").arg(format_size(p.bad_bytes)).arg(p.bad_areas));
    speed_->setText(format_size(static_cast<std::uint64_t>(p.bytes_per_second)) +
                    QStringLiteral("/s"));
    left_->setText(duration_text(p.seconds_left));
    if (!done_) {
        state_->setText(p.paused ? text("image_paused") : QString());
    }
}

void image_dialog_c::on_pause() {
    if (!worker_ || done_) {
        return;
    }
    paused_ = !paused_;
    worker_->set_pause(paused_);
    pause_->setText(text(paused_ ? "image_resume" : "image_pause"));
}

void image_dialog_c::on_stop() {
    if (done_ || !worker_) {
        accept();
        return;
    }
    stop_->setEnabled(false);
    pause_->setEnabled(false);
    worker_->request_stop();
}

void image_dialog_c::reject() {
    // Escape and the close button stop the copy first; the dialog closes when it has.
    if (!done_ && worker_) {
        on_stop();
        return;
    }
    QDialog::reject();
}

void image_dialog_c::on_finished() {
    timer_->stop();
    show_progress(worker_->progress());
    done_ = true;
    pause_->setEnabled(false);
    stop_->setEnabled(true);
    stop_->setText(text("image_close"));
    using outcome_e = image_rescue_c::outcome_e;
    const outcome_e outcome = worker_->outcome();
    if (outcome == outcome_e::failed) {
        state_->setText(text("image_failed") + QLatin1Char(' ') + worker_->error());
        return;
    }
    if (outcome == outcome_e::stopped) {
        state_->setText(text("image_stopped"));
        return;
    }
    state_->setText(text(outcome == outcome_e::complete ? "image_complete" : "image_incomplete"));
    // The image becomes a drive; its volumes can be scanned from the volume page.
    emit image_made(output_);
}

bool image_dialog_c::ask_to_scan() {
    message_box_c box(QMessageBox::Question, QStringLiteral("OrvaneRecovery"),
                      state_->text() + QLatin1Char('\n') + text("image_scan_question"),
                      QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() != QMessageBox::Yes) {
        return false;
    }
    accept();
    return true;
}

QString disk_image_filter() {
    return text("image_filter") +
           QStringLiteral(" (*.img *.dd *.raw *.iso *.E01 *.vhd *.vhdx *.vmdk *.qcow2);;") +
           text("all_files") + QStringLiteral(" (*)");
}

QString image_dialog_c::ask_output(QWidget* parent, const QString& drive_name) {
    const QString suggested =
        QDir::home().filePath(QFileInfo(drive_name).fileName() + QStringLiteral(".img"));
    // No overwrite question: an existing image is continued from its map, never replaced.
    const QString output =
        QFileDialog::getSaveFileName(parent, text("image_save"), suggested, disk_image_filter(),
                                     nullptr, QFileDialog::DontConfirmOverwrite);
    if (output.isEmpty()) {
        return {};
    }
    if (output_on_source(output, platform::drive_by_name(drive_name))) {
        message(parent, QMessageBox::Warning, text("image_same_drive"));
        return {};
    }
    return output;
}
