#include "ui/ui_test_support.h"

#include "core/settings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QTest>

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
    default_button =
        box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
    geometry = box->frameGeometry();
    extra_buttons.clear();
    QAbstractButton* chosen = nullptr;
    for (QAbstractButton* b : box->buttons()) {
        if (box->standardButton(b) == QMessageBox::NoButton) {
            extra_buttons << b->text();
            if (!click_text.isEmpty() && b->text() == click_text) {
                chosen = b;
            }
        }
    }
    if (answer == QMessageBox::NoButton && click_text.isEmpty()) {
        QTest::keyClick(box, Qt::Key_Return);
        return;
    }
    if (chosen) {
        chosen->click();
        return;
    }
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
    // Checkpoints of interrupted deep scans: the test's own, never the user's.
    qputenv("XDG_STATE_HOME", (config_folder + QStringLiteral("/state")).toUtf8());
    qputenv("LANGUAGE", "");
    qputenv("LC_ALL", "");
    qputenv("LC_MESSAGES", "");
    qputenv("LANG", "C");
    language_state() = language_state_s{};
    load_settings();
}

file_dialog_answer_c::file_dialog_answer_c(const QString& path) : path(path) {
    connect(&timer, &QTimer::timeout, this, &file_dialog_answer_c::poll);
    timer.start(5);
}

file_dialog_answer_c::~file_dialog_answer_c() = default;

void file_dialog_answer_c::poll() {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) {
        return;
    }
    ++dialogs;
    directory = dialog->directory().absolutePath();
    if (path.isEmpty()) {
        dialog->reject();
        return;
    }
    dialog->selectFile(path);
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, by its base
}
