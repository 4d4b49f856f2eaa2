// The desktop program loses no results and leaves the user at no dead end: every way that
// throws results away asks (No by default) and changes nothing on No or Cancel, each entry
// point starts its own kind of scan, a scan file of a whole drive loads and any other file is
// refused in words, every drive is listed, boxes show their whole text, the window keeps
// every control, the keyboard reaches everything, and a paused deep scan shows what it has
// found. End to end on the real pages, offscreen.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/ui/drive_window.h"
#include "device/ui/image_dialog.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "engine/raw/scan_checkpoint.h"
#include "partition/ui/partition_window.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "skin/message_box.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_drive_window.h"

#include <QBuffer>
#include <QCheckBox>
#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <functional>

namespace {

constexpr int pictures = 7;

qint64 picture_offset(int n) {
    return n * (512 << 10) + 4096;
}

// Seven PNGs of noise at the start of a sparse image of `bytes`; their records.
std::vector<signature_record> write_card(const QString& path, qint64 bytes) {
    std::vector<signature_record> written;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes)) {
        return written;
    }
    QRandomGenerator random(31);
    for (int n = 0; n < pictures; ++n) {
        QImage picture(40 + 8 * n, 30, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                picture.setPixel(x, y, random.generate());
            }
        }
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "PNG");
        file.seek(picture_offset(n));
        file.write(png);
        signature_record record;
        record.index = static_cast<std::uint64_t>(n);
        record.offset = static_cast<std::uint64_t>(picture_offset(n));
        record.size = static_cast<std::uint64_t>(png.size());
        std::memcpy(record.type, "png", 3);
        written.push_back(record);
    }
    return written;
}

// Hands every modal box to `look` (which answers it), once each.
class modal_probe_c : public QObject {
  public:
    explicit modal_probe_c(std::function<void(QMessageBox*)> look) : look_(std::move(look)) {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && box->isVisible() && box != last_) {
                last_ = box;
                ++boxes;
                look_(box);
            }
        });
        timer_.start(5);
    }
    int boxes = 0;

  private:
    std::function<void(QMessageBox*)> look_;
    QTimer timer_;
    QMessageBox* last_ = nullptr;
};

// The box's text is shown whole: its label has the height its text needs at its width, and
// lies inside the box.
bool text_fully_visible(QMessageBox* box, QString* why) {
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (!label) {
        *why = "no label";
        return false;
    }
    const int needed = label->heightForWidth(label->width());
    const QRect inside = box->rect();
    const QRect at(label->mapTo(box, QPoint(0, 0)), label->size());
    *why = QStringLiteral("box %1x%2, label %3x%4 needs height %5")
               .arg(box->width())
               .arg(box->height())
               .arg(label->width())
               .arg(label->height())
               .arg(needed);
    return label->height() >= needed && inside.contains(at) && box->width() >= 250;
}

}  // namespace

class test_no_dead_ends : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString card;  // 64 MiB, seven pictures in its first 4 MiB
    std::vector<signature_record> written;
    volume_item_s whole;
    std::unique_ptr<main_window_c> window;

    recovery_window_c* page() { return window->recovery_page; }
    QTreeView* tree() { return page()->findChild<QTreeView*>("tv_dirtree"); }

    // A finished deep scan of the card, on the scan page.
    void deep_scan_card() {
        window->show_page(4);
        QCOMPARE(page()->scan_volume(whole, true), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        QVERIFY(page()->has_unsaved_results());
    }

    QModelIndex first_type_folder() {
        const QModelIndex top = page()->tree_model_now()->index(0, 0);
        return page()->tree_model_now()->index(0, 0, top);
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        register_result_meta_types();
        qputenv("HOME", dir.path().toUtf8());
        init_done = 1;
        card = dir.filePath("card.img");
        written = write_card(card, 64 << 20);
        QCOMPARE(int(written.size()), pictures);
        card = QFileInfo(card).canonicalFilePath();
        use_images({card});
        enumerate_physical_drives();
        whole.device_name = whole.volume_name = whole.path = card;
        whole.label = "card";
        whole.total_bytes = 64 << 20;
    }

    void init() {
        scanning = false;
        QFile::remove(checkpoint_path(card));
        window = std::make_unique<main_window_c>();
        window->resize(900, 640);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        scanning = false;
        volume_list.clear();
    }

    // Start, Back, the top bar, closing the window and loading a scan file all ask the same
    // question over unsaved deep-scan results; No keeps everything as it was.
    void every_way_out_asks_and_no_keeps_the_results() {
        deep_scan_card();
        const int found = page()->tree_model_now()->found_totals().files;
        QCOMPARE(found, pictures);
        const auto no_keeps = [&](const char* what, const std::function<void()>& act) {
            box_answer_c ask(QMessageBox::No);
            act();
            QVERIFY2(ask.boxes == 1, what);
            QCOMPARE(ask.text, text("unsaved_results_warning"));
            QCOMPARE(ask.default_button, QMessageBox::No);
            QCOMPARE(window->current_index(), 4);
            QVERIFY(!scanning);
            QCOMPARE(page()->tree_model_now()->found_totals().files, found);
        };
        no_keeps("Start", [&] {
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_pause"), Qt::LeftButton);
        });
        no_keeps("Back", [&] {
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_back"), Qt::LeftButton);
        });
        no_keeps("top bar", [&] { window->on_click_top2(); });
        no_keeps("close", [&] { window->close(); });
        QVERIFY(window->isVisible());
        QFile any(dir.filePath("any.sav"));
        QVERIFY(any.open(QIODevice::WriteOnly));
        any.close();
        no_keeps("load", [&] {
            file_dialog_answer_c load(any.fileName());
            QCOMPARE(page()->resume_scan_file(), -1);
        });
        // Escape answers No as well.
        {
            modal_probe_c escape([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
            window->on_click_top1();
            QCOMPARE(escape.boxes, 1);
        }
        QCOMPARE(window->current_index(), 4);
        QCOMPARE(page()->tree_model_now()->found_totals().files, found);
    }

    // After the unsaved-results question, the continue question of an interrupted scan:
    // Cancel there too leaves the results, and no stale restoration summary, on the page.
    void cancel_of_the_continue_question_changes_nothing() {
        deep_scan_card();
        const int found = page()->tree_model_now()->found_totals().files;
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = card;
        checkpoint.identity = volume_identity(card);
        checkpoint.resume_at = 2 << 20;
        checkpoint.records = {written[0], written[1]};
        QVERIFY(write_checkpoint(checkpoint_path(card), checkpoint));
        QStringList asked;
        modal_probe_c answers([&](QMessageBox* box) {
            asked << box->text();
            box->button(asked.size() == 1 ? QMessageBox::Yes : QMessageBox::Cancel)->click();
        });
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_pause"), Qt::LeftButton);
        QTRY_COMPARE(answers.boxes, 2);
        QCOMPARE(asked.at(0), text("unsaved_results_warning"));
        QCOMPARE(asked.at(1), plural_text("deep_continue_query", 2).arg("3.1"));
        QVERIFY(!scanning);
        QCOMPARE(page()->tree_model_now()->found_totals().files, found);
        QVERIFY(page()->has_unsaved_results());
        QVERIFY(QFile::exists(checkpoint_path(card)));
    }

    void each_entry_point_sets_its_kind_of_scan() {
        window->on_init_finished();
        window->on_click_top3();
        QVERIFY(window->deep_scan);
        QVERIFY(window->volume_page->whole_drives_listed());
        // "Start a New Scan" after a deep scan was chosen: the quick scan.
        window->show_page(0);
        window->on_click_home_start();
        QCOMPARE(window->current_index(), 1);
        QVERIFY(!window->deep_scan);
        QVERIFY(!window->volume_page->whole_drives_listed());
        window->on_click_top3();
        window->on_click_top1();
        QVERIFY(!window->deep_scan);
        // The partition search keeps the kind, and its Back returns to the drive page.
        window->on_click_top3();
        window->on_click_top2();
        QCOMPARE(window->current_index(), 2);
        window->on_click_partition_back();
        QCOMPARE(window->current_index(), 2);
        QVERIFY(window->deep_scan);
    }

    // The program's own scan file of a whole drive loads; a file that is no scan file is
    // refused with a message, and nothing else changes.
    void scan_files_of_whole_drives_load_and_others_are_refused() {
        deep_scan_card();
        const QString sav = dir.filePath("card.sav");
        {
            file_dialog_answer_c save(sav);
            page()->on_save_result_clicked();
        }
        QVERIFY(QFileInfo::exists(sav));
        window->on_click_top1();  // saved: no question
        window->show_page(0);
        volume_list = {volume_item_s{}};  // the card holds no volume: only the drive names it
        {
            box_answer_c none(QMessageBox::Ok);
            file_dialog_answer_c load(sav);
            window->on_click_home_resume();
            QCOMPARE(none.boxes, 0);
        }
        QCOMPARE(window->current_index(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        QCOMPARE(page()->tree_model_now()->found_totals().files, pictures);
        QVERIFY(!page()->has_unsaved_results());

        window->on_click_top1();
        window->show_page(0);
        const QString note = dir.filePath("note.txt");
        QFile file(note);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a scan file\n");
        file.close();
        box_answer_c refused(QMessageBox::Ok);
        file_dialog_answer_c load(note);
        window->on_click_home_resume();
        QCOMPARE(refused.boxes, 1);
        QCOMPARE(refused.text, text("recovery_load_not_scan_file").arg("note.txt"));
        QCOMPARE(window->current_index(), 0);
    }

    void help_without_its_page_says_where_it_belongs() {
        const QByteArray data = qgetenv("ORVANE_DATA_DIR");
        qputenv("ORVANE_DATA_DIR", dir.filePath("nowhere").toUtf8());
        box_answer_c said(QMessageBox::Ok);
        window->on_click_help();
        qputenv("ORVANE_DATA_DIR", data);
        QCOMPARE(said.boxes, 1);
        QVERIFY(said.text.contains(dir.filePath("nowhere") + "/help/index.html"));
        QCOMPARE(said.text, text("help_missing").arg(dir.filePath("nowhere/help/index.html")));
    }

    // Eleven drives (and more) are all listed, and an image opened then is among them.
    void eleven_drives_are_all_listed() {
        for (int n = 0; n < 10; ++n) {
            platform::add_memory_drive(QStringLiteral("d%1").arg(n),
                                       std::make_shared<const QByteArray>(1 << 20, '\0'));
        }
        enumerate_physical_drives();
        window->on_init_finished();
        QCOMPARE(int(drive_list.size()), 1 + 1 + 10);  // header, the card, ten memory drives
        QCOMPARE(window->drive_page->form->lv_drives->model()->rowCount(), 12);
        const QString image = dir.filePath("twelfth.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(1 << 20));
        file.close();
        QCOMPARE(window->open_image(image), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!window->refreshing(), 30000);
        QCOMPARE(window->drive_page->form->lv_drives->model()->rowCount(), 13);
        bool listed = false;
        for (const drive_item_s& drive : drive_list) {
            listed = listed || drive.name == QFileInfo(image).canonicalFilePath();
        }
        QVERIFY(listed);
        platform::clear_memory_drives();
        settings().remove(QStringLiteral("images"));
        use_images({card});
        enumerate_physical_drives();
    }

    // The repair's refusal on a drive whose file system starts at sector 0, and a long
    // message, are shown whole.
    void boxes_show_their_whole_text() {
        const QString floppy = dir.filePath("floppy.img");
        QFile::remove(floppy);
        QProcess mkfs;
        mkfs.start("mkfs.fat", {"-C", floppy, "1440"});
        if (!mkfs.waitForFinished(30000) || mkfs.exitCode() != 0) {
            QSKIP("mkfs.fat is missing");
        }
        use_images({card, floppy});
        enumerate_physical_drives();
        drive_item_s drive;
        for (const drive_item_s& d : drive_list) {
            if (d.name == QFileInfo(floppy).canonicalFilePath()) {
                drive = d;
            }
        }
        QVERIFY(!drive.name.isEmpty());
        partition_window_c* partitions = window->partition_page;
        partitions->start_partition_search(drive);
        window->show_page(3);
        QTRY_VERIFY_WITH_TIMEOUT(
            !partitions->findChild<QPushButton*>("btn_stop")->isVisible() ||
                partitions->findChild<QPushButton*>("btn_stop")->text() == text("btn_start"),
            30000);
        QTest::qWait(500);
        QString why;
        bool whole_text = false;
        QString shown;
        modal_probe_c look([&](QMessageBox* box) {
            whole_text = text_fully_visible(box, &why);
            shown = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        QMetaObject::invokeMethod(partitions, "on_repair_clicked");
        QTRY_COMPARE(look.boxes, 1);
        QVERIFY2(shown.startsWith(text("partition_whole_volume").section("%1", 0, 0)),
                 qPrintable(shown));
        QVERIFY2(whole_text, qPrintable(why));

        const QString long_text =
            QString("word ").repeated(120) + "\n" + QString("/a/path/without/blanks").repeated(4);
        message_box_c box(QMessageBox::Warning, "OrvaneRecovery", long_text, QMessageBox::Ok,
                          window.get());
        modal_probe_c look_again([&](QMessageBox* shown_box) {
            whole_text = text_fully_visible(shown_box, &why);
            shown_box->button(QMessageBox::Ok)->click();
        });
        box.exec();
        QVERIFY2(whole_text, qPrintable(why));
        QVERIFY(box.width() <= window->screen()->availableGeometry().width());
        use_images({card});
        enumerate_physical_drives();
    }

    void tooltips_wrap_on_screen() {
        const QString name = QString("a_very_long_name_without_any_blank").repeated(12);
        const QString tip = wrapping_tooltip(name + "\n" + name);
        QVERIFY(Qt::mightBeRichText(tip));
        QLabel shown;
        shown.setWordWrap(true);
        shown.setText(tip);
        QVERIFY2(shown.sizeHint().width() < window->screen()->availableGeometry().width(),
                 qPrintable(QString::number(shown.sizeHint().width())));
        QCOMPARE(shown.text().size() > name.size() * 2, true);
    }

    // At its smallest the window keeps every control of the scan page apart and in sight, and
    // the table's columns come back after the window was maximised.
    void the_smallest_window_keeps_every_control() {
        window->resize(500, 400);
        QVERIFY(window->width() >= 800 && window->height() >= 600);
        window->show_page(4);
        QTest::qWait(50);
        QList<QWidget*> controls;
        for (const char* name :
             {"btn_back", "btn_recovery", "chk_keep_folders", "lbl_ticked", "le_filter"}) {
            auto* control = page()->findChild<QWidget*>(name);
            QVERIFY2(control, name);
            controls << control;
        }
        for (QWidget* control : controls) {
            QVERIFY2(page()->rect().contains(control->geometry()),
                     qPrintable(control->objectName()));
            for (QWidget* other : controls) {
                if (other != control) {
                    QVERIFY2(!control->geometry().intersects(other->geometry()),
                             qPrintable(control->objectName() + " " + other->objectName()));
                }
            }
        }
        QList<int> widths;
        for (int s = 0; s < 5; ++s) {
            widths << page()->file_header()->sectionSize(s);
        }
        window->on_click_maximize();
        QTest::qWait(50);
        window->on_click_restore();
        QTest::qWait(50);
        for (int s = 0; s < 5; ++s) {
            QCOMPARE(page()->file_header()->sectionSize(s), widths.at(s));
        }
    }

    // Space ticks, Enter previews, Escape closes the summary; the table's header box is
    // tri-state, the files are in name order with an arrow on that column; every control
    // has a name for screen readers and takes the focus.
    void the_keyboard_reaches_everything() {
        deep_scan_card();
        tree()->setFocus();
        tree()->setCurrentIndex(first_type_folder());
        QVERIFY(!page()->files().empty());
        QCOMPARE(page()->file_header()->sorted_section, 1);
        QStringList names;
        for (const recovery_item_s& file : page()->files()) {
            names << file.name;
        }
        QStringList sorted = names;
        std::sort(sorted.begin(), sorted.end(),
                  [](const QString& a, const QString& b) { return a.compare(b) < 0; });
        QCOMPARE(names, sorted);

        MyQTableView* table = page()->file_table();
        table->setFocus();
        table->setCurrentIndex(table->model()->index(0, 1));
        QTest::keyClick(table, Qt::Key_Space);
        QVERIFY(page()->files().front().checked);
        QCOMPARE(page()->file_header()->tick_state, Qt::PartiallyChecked);
        QVERIFY(!page()->ticked_label()->text().isEmpty());
        QVERIFY(page()->ticked_label()->text().startsWith("1 file ticked"));
        QTest::keyClick(table, Qt::Key_Down);  // a move previews and never ticks
        QVERIFY(!page()->files().at(1).checked);
        QTest::keyClick(table, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(page()->preview_is_shown(), 10000);
        QVERIFY(!page()->preview_image().isNull());
        QTest::keyClick(table, Qt::Key_Space);
        QTest::keyClick(table, Qt::Key_Space);  // ticked and unticked again
        QVERIFY(!page()->files().at(1).checked);

        // Space on the tree ticks the open folder whole.
        tree()->setFocus();
        QTest::keyClick(tree(), Qt::Key_Space);
        QCOMPARE(page()->file_header()->tick_state, Qt::Checked);

        // The restoration's summary closes with Escape.
        const QString destination = dir.filePath("restored");
        QDir().mkpath(destination);
        modal_probe_c escape([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        {
            file_dialog_answer_c folder(destination);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
        }
        QTRY_COMPARE_WITH_TIMEOUT(escape.boxes, 1, 30000);
        QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
        QCOMPARE(QDir(destination).entryList(QDir::Files | QDir::NoDotAndDotDot).size() +
                         QDir(destination).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() >
                     0,
                 true);

        for (QWidget* shown : window->pages) {
            for (QAbstractItemView* view : shown->findChildren<QAbstractItemView*>()) {
                // Column headers (of the table, and the device lists' fixed title row)
                // are read with their lists.
                if (qobject_cast<QHeaderView*>(view) || view->objectName().isEmpty() ||
                    view->objectName().endsWith("_header")) {
                    continue;
                }
                QVERIFY2(!view->accessibleName().isEmpty(), qPrintable(view->objectName()));
                QCOMPARE(view->focusPolicy(), Qt::StrongFocus);
            }
            for (QPushButton* button : shown->findChildren<QPushButton*>()) {
                QVERIFY2(!button->text().isEmpty() || !button->accessibleName().isEmpty(),
                         qPrintable(button->objectName()));
                QCOMPARE(button->focusPolicy(), Qt::StrongFocus);
            }
        }
    }

    // Counted things in the language's plural forms; English under "1" and "2", French with
    // its singular for 0, Japanese with one form.
    void counts_take_their_plural_forms() {
        language_state_s kept = language_state();
        QCOMPARE(plural_text("recovery_ticked", 1).arg("5K"), QStringLiteral("1 file ticked (5K)"));
        QCOMPARE(plural_text("recovery_ticked", 2).arg("5K"),
                 QStringLiteral("2 files ticked (5K)"));
        QCOMPARE(plural_text("recovery_ticked", 0).arg("0B"),
                 QStringLiteral("0 files ticked (0B)"));
        for (const char* name : {"Français", "日本語"}) {
            language_state().current_name = QString::fromUtf8(name);
            load_language(QString::fromUtf8(name), true);
            const QStringList forms = text("recovery_ticked").split('|');
            QCOMPARE(plural_text("recovery_ticked", 0), QString(forms.first()).replace("%n", "0"));
            QCOMPARE(plural_text("recovery_ticked", 1), QString(forms.first()).replace("%n", "1"));
            QCOMPARE(plural_text("recovery_ticked", 3), QString(forms.last()).replace("%n", "3"));
        }
        language_state() = kept;
        // Every language has one or two forms of each counted text, each with its count.
        const QStringList languages = language_state().language_list;
        QCOMPARE(languages.size(), 10);
        for (const QString& name : languages) {
            language_state_s one;
            language_state() = one;
            load_language(QStringLiteral("English"), false);
            load_language(name, true);
            for (const char* key : {"recovery_ticked", "deep_continue_query"}) {
                const QStringList forms = text(key).split('|');
                QVERIFY2(forms.size() >= 1 && forms.size() <= 2, qPrintable(name));
                for (const QString& form : forms) {
                    QVERIFY2(form.contains("%n"), qPrintable(name + ": " + form));
                }
            }
        }
        language_state() = kept;
    }

    // Only text is previewed as text: a .docx (a ZIP) shows its kind and size.
    void binary_files_are_not_previewed_as_text() {
        QVERIFY(recovery_window_c::looks_like_text("plain words\r\nand a tab\there\n"));
        QVERIFY(recovery_window_c::looks_like_text(QString("Grüße, 日本").toUtf8()));
        QVERIFY(
            recovery_window_c::looks_like_text(QByteArray("\xFF\xFE"
                                                          "a\0b\0",
                                                          6)));
        const QByteArray docx = QByteArray("PK\x03\x04\x14\x00\x06\x00", 8) +
                                QByteArray("[Content_Types].xml") + QByteArray(40, '\0');
        QVERIFY(!recovery_window_c::looks_like_text(docx));
        QVERIFY(!recovery_window_c::looks_like_text(QByteArray("\x89PNG\r\n\x1a\n", 8)));
        // A cut multi-byte character at the end of the bytes read is still text.
        QVERIFY(recovery_window_c::looks_like_text(QString("abcé").toUtf8().chopped(1)));
    }

    // "Keep folders" is remembered; the drive list's titles stay above its rows.
    void small_things_hold() {
        auto* keep = page()->findChild<QCheckBox*>("chk_keep_folders");
        const bool was = keep->isChecked();
        keep->setChecked(!was);
        window.reset();
        window = std::make_unique<main_window_c>();
        QCOMPARE(window->recovery_page->findChild<QCheckBox*>("chk_keep_folders")->isChecked(),
                 !was);
        window->recovery_page->findChild<QCheckBox*>("chk_keep_folders")->setChecked(was);

        window->resize(900, 640);
        window->show();
        window->on_init_finished();
        window->show_page(2);
        QApplication::processEvents();
        auto* rows = window->drive_page->form->lv_drives;
        auto* titles = window->drive_page->findChild<QListView*>("lv_drives_header");
        QVERIFY(titles && titles->isVisible());
        QVERIFY(rows->isRowHidden(0));
        QVERIFY(!titles->isRowHidden(0));
        QVERIFY(titles->geometry().bottom() < rows->geometry().top());
        QVERIFY(!rows->isRowHidden(1));
        QCOMPARE(
            disk_image_filter().section(";;", 0, 0),
            text("image_filter") + " (*.img *.dd *.raw *.iso *.E01 *.vhd *.vhdx *.vmdk *.qcow2)");
    }

    // A paused deep scan lists what it has found so far; resumed, the list goes until the
    // scan ends with its own.
    void a_paused_deep_scan_shows_what_it_found() {
        const QString big = dir.filePath("big.img");
        const std::vector<signature_record> placed = write_card(big, qint64(1) << 30);
        volume_item_s drive;
        drive.device_name = drive.volume_name = drive.path = QFileInfo(big).canonicalFilePath();
        drive.total_bytes = qint64(1) << 30;
        use_images({card, drive.device_name});
        // Continued from a checkpoint that found two: they are known before any byte is read,
        // and the pause comes before the gigabyte is.
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = drive.device_name;
        checkpoint.identity = volume_identity(drive.device_name);
        checkpoint.resume_at = 2 << 20;
        checkpoint.records = {placed[0], placed[1]};
        QVERIFY(write_checkpoint(checkpoint_path(drive.device_name), checkpoint));
        window->show_page(4);
        {
            box_answer_c go_on(QMessageBox::Yes);
            QCOMPARE(page()->scan_volume(drive, true), 0);
        }
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_pause"), Qt::LeftButton);
        if (!page()->scan_session().scanning()) {
            QSKIP("the scan ended before it could be paused");
        }
        QCOMPARE(page()->findChild<QPushButton*>("btn_pause")->text(), text("btn_resume"));
        QVERIFY(page()->tree_model_now()->found_totals().files >= 2);
        tree()->setCurrentIndex(first_type_folder());
        QVERIFY(page()->files().size() >= 2);
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_pause"), Qt::LeftButton);
        QCOMPARE(page()->tree_model_now()->found_totals().files, 0);
        QVERIFY(page()->files().empty());
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 120000);
        // The checkpoint's two and the three past 2 MiB, where the scan went on.
        QCOMPARE(page()->tree_model_now()->found_totals().files, 5);
        use_images({card});
    }
};

QTEST_MAIN(test_no_dead_ends)
#include "test_no_dead_ends.moc"
