#include "ui/ui_test_support.h"

#include "app/settings.h"

#include <QAbstractButton>
#include <QApplication>

box_answer_c::box_answer_c(QMessageBox::StandardButton answer) : answer(answer) {
    connect(&timer, &QTimer::timeout, this, &box_answer_c::poll);
    timer.start(5);
}

box_answer_c::~box_answer_c() = default;

void box_answer_c::poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) {
        return;
    }
    ++boxes;
    text = box->text();
    title = box->windowTitle();
    parent = box->parentWidget();
    buttons = box->standardButtons();
    custom_icon = !box->iconPixmap().isNull() && box->icon() == QMessageBox::NoIcon;
    QAbstractButton* button = box->button(answer);
    if (!button) {
        button = box->buttons().value(0);
    }
    if (button) {
        button->click();
    }
}

void fresh_language_state(const QString& config_folder) {
    qputenv("XDG_CONFIG_HOME", config_folder.toUtf8());
    qputenv("LANGUAGE", "");
    qputenv("LC_ALL", "");
    qputenv("LC_MESSAGES", "");
    qputenv("LANG", "C");
    language_state() = language_state_s{};
    load_settings();
}
