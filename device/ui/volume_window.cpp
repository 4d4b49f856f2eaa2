#include "device/ui/volume_window.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/volume_delegate.h"
#include "device/ui/volume_model.h"
#include "skin/focus_frame.h"
#include "skin/message_box.h"
#include "ui_volume_window.h"

#include <QEvent>
#include <QMessageBox>

volume_item_s whole_drive_volume(const drive_item_s& drive) {
    volume_item_s volume;
    volume.device_name = drive.name;
    volume.volume_name = drive.name;
    volume.path = drive.name;
    volume.label = text("volume_whole_drive");
    volume.total_bytes = drive.size;
    return volume;
}

volume_window_c::volume_window_c(QWidget* parent)
    : device_page_c(parent), form(std::make_unique<Ui::VolumeForm>()) {
    form->setupUi(this);
    form->lv_volumes->setItemDelegate(new volume_delegate_c(form->lv_volumes));
    set_up_page(form->btn_back, form->btn_refresh, form->btn_scan, form->lv_volumes);
    connect(this, &device_page_c::scan_clicked, this, &volume_window_c::start_scan);
    form->lv_volumes->setAccessibleName(text("volume_logical_drives"));
    install_focus_frames(this);
}

volume_window_c::~volume_window_c() = default;

void volume_window_c::show_volumes() {
    drive_rows.clear();
    if (whole_drives) {
        for (const drive_item_s& drive : drive_list) {
            if (!drive.name.isEmpty()) {  // not the header row
                drive_rows.push_back(whole_drive_volume(drive));
            }
        }
    }
    model = new volume_model_c(volume_list, this, whole_drives ? &drive_rows : nullptr);
    replace_model(model);
}

void volume_window_c::list_whole_drives(bool listed) {
    if (listed == whole_drives && model) {
        return;
    }
    whole_drives = listed;
    // The volumes' rows stay where they were: a chosen volume stays chosen.
    const int row = form->lv_volumes->currentIndex().row();
    show_volumes();
    if (row >= 0 && row < static_cast<int>(volume_list.size())) {
        form->lv_volumes->setCurrentIndex(model->index(row, 0));
    }
}

const volume_item_s* volume_window_c::selected_volume() {
    const int row = form->lv_volumes->currentIndex().row();
    const int volumes = static_cast<int>(volume_list.size());
    if (row < 0 || row >= volumes + static_cast<int>(drive_rows.size())) {
        message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                          text("scan_nosel_warning"), QMessageBox::Ok, this,
                          Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
        box.exec();
        return nullptr;
    }
    if (row >= volumes) {
        return &drive_rows[static_cast<std::size_t>(row - volumes)];
    }
    return &volume_list[static_cast<std::size_t>(row)];
}

void volume_window_c::changeEvent(QEvent* event) {
    device_page_c::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && form) {
        form->lv_volumes->setAccessibleName(text("volume_logical_drives"));
        if (whole_drives) {
            show_volumes();  // the whole drives' rows carry a translated label
        }
    }
}

void volume_window_c::update_rows() {
    form->lv_volumes->viewport()->update();
}

void volume_window_c::on_double_clicked(const QModelIndex&) {
    emit start_scan();
}
