// Settings, language texts, sizes as text and the diagnostics log.
#include "core/diagnostics.h"
#include "core/settings.h"
#include "device/drive_list.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

const QByteArray sample_ini =
    "; sample\n"
    "[English]\n"
    "btn_scan=\"Scan\"\n"
    "only_english=\"Only in English\"\n"
    "spaced =\"Spaced key\"\n"
    "multi=\"one\\ntwo\\tend\"\n"
    "[Deutsch]\n"
    "btn_scan=\"Suchen\"\n"
    "[Deutsch]\n"
    "btn_scan=\"Never wanted\"\n"
    "[Português]\n"
    "btn_scan=\"Procurar\"\n";

}  // namespace

class test_shell : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    void fresh_start(const QByteArray& locale) {
        language_state() = language_state_s{};
        QFile::remove(dir.filePath("config/OrvaneRecovery.ini"));
        qputenv("LANGUAGE", "");
        qputenv("LC_ALL", "");
        qputenv("LC_MESSAGES", "");
        qputenv("LANG", locale);
        load_settings();
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkpath("data");
        QDir(dir.path()).mkpath("config");
        write_file(dir.filePath("data/language.ini"), sample_ini);
        qputenv("ORVANE_DATA_DIR", dir.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
    }

    void first_start_takes_the_locale_and_writes_it() {
        fresh_start("de_DE.UTF-8");
        QCOMPARE(language_state().current_name, QStringLiteral("Deutsch"));
        QCOMPARE(text("btn_scan"), QStringLiteral("Suchen"));
        QCOMPARE(image_folder_code(), QStringLiteral("de"));
        QSettings written(dir.filePath("config/OrvaneRecovery.ini"), QSettings::IniFormat);
        QCOMPARE(written.value("language").toString(), QStringLiteral("Deutsch"));
    }

    void first_start_without_a_choice_writes_nothing() {
        fresh_start("C");
        QCOMPARE(language_state().current_name, QStringLiteral("English"));
        QCOMPARE(text("btn_scan"), QStringLiteral("Scan"));
        QCOMPARE(image_folder_code(), QStringLiteral("en"));
        QVERIFY(!QFile::exists(dir.filePath("config/OrvaneRecovery.ini")));
    }

    void locale_choice_data() {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QString>("language");
        QTest::newRow("german") << QByteArray("de_AT.UTF-8") << QStringLiteral("Deutsch");
        QTest::newRow("simplified") << QByteArray("zh_CN.UTF-8") << QStringLiteral("简体中文");
        QTest::newRow("taiwan") << QByteArray("zh_TW.UTF-8") << QStringLiteral("繁體中文");
        QTest::newRow("hong kong") << QByteArray("zh_HK") << QStringLiteral("繁體中文");
        QTest::newRow("japanese") << QByteArray("ja_JP.eucJP") << QStringLiteral("日本語");
        QTest::newRow("brazil") << QByteArray("pt_BR.UTF-8") << QStringLiteral("Português");
        QTest::newRow("english") << QByteArray("en_GB.UTF-8") << QStringLiteral("English");
        QTest::newRow("posix") << QByteArray("POSIX") << QString();
        QTest::newRow("swedish") << QByteArray("sv_SE.UTF-8") << QString();
    }
    void locale_choice() {
        QFETCH(QByteArray, locale);
        QFETCH(QString, language);
        qputenv("LANGUAGE", "");
        qputenv("LC_ALL", "");
        qputenv("LC_MESSAGES", "");
        qputenv("LANG", locale);
        QCOMPARE(locale_language_choice(), language);
    }

    void language_wins_over_lang() {
        qputenv("LANGUAGE", "fr:en");
        qputenv("LANG", "de_DE.UTF-8");
        QCOMPARE(locale_language_choice(), QStringLiteral("Français"));
        qputenv("LANGUAGE", "");
    }

    void texts_fall_back_and_unescape() {
        fresh_start("de_DE.UTF-8");
        QCOMPARE(text("only_english"), QStringLiteral("Only in English"));
        // a space before '=' is part of the key, so the plain key is not found
        QCOMPARE(text("spaced"), QString());
        QCOMPARE(text("spaced "), QStringLiteral("Spaced key"));
        QCOMPARE(text("multi"), QStringLiteral("one\ntwo\tend"));
        // a missing key yields an empty text; the lookup leaves the table as it was, so that
        // a worker thread may look texts up while another reads
        QCOMPARE(text("no_such_key"), QString());
        QVERIFY(language_state().text_table.count("no_such_key") == 0);
    }

    void a_section_right_after_the_wanted_one_is_not_wanted() {
        fresh_start("de_DE.UTF-8");
        QCOMPARE(text("btn_scan"), QStringLiteral("Suchen"));
        QCOMPARE(language_state().current_index, 1);
        QCOMPARE(language_state().language_list.size(), 4);
    }

    void portuguese_selects_pt() {
        fresh_start("pt_PT.UTF-8");
        QCOMPARE(image_folder_code(), QStringLiteral("pt"));
        QCOMPARE(text("btn_scan"), QStringLiteral("Procurar"));
    }

    void a_choice_is_saved_with_the_recovery_folder() {
        fresh_start("C");
        language_state().current_name = QStringLiteral("Deutsch");
        language_state().recovery_folder = QStringLiteral("/tmp/out");
        save_settings();
        QSettings written(dir.filePath("config/OrvaneRecovery.ini"), QSettings::IniFormat);
        QCOMPARE(written.value("language").toString(), QStringLiteral("Deutsch"));
        QCOMPARE(written.value("recovery_folder").toString(), QStringLiteral("/tmp/out"));
    }

    void long_lines_are_read_in_pieces() {
        QByteArray ini = "[English]\nlong=\"" + QByteArray(3000, 'x') + "\"\nshort=\"ok\"\n";
        write_file(dir.filePath("data/language.ini"), ini);
        fresh_start("C");
        QCOMPARE(text("short"), QStringLiteral("ok"));
        QVERIFY(text("long").isEmpty());
        write_file(dir.filePath("data/language.ini"), sample_ini);
    }

    void a_missing_language_file_leaves_every_text_empty() {
        qputenv("ORVANE_DATA_DIR", dir.filePath("nowhere").toUtf8());
        language_state() = language_state_s{};
        QCOMPARE(load_language(QStringLiteral("English"), true), -1);
        QVERIFY(language_state().language_list.isEmpty());
        QCOMPARE(text("btn_scan"), QString());
        QCOMPARE(image_folder_code(), QStringLiteral("en"));
        qputenv("ORVANE_DATA_DIR", dir.filePath("data").toUtf8());
    }

    // The shipped language.ini: ten languages, each with every key, none empty.
    void shipped_language_file_is_complete() {
        const QString shipped = QStringLiteral(ORVANE_SOURCE_DIR "/data");
        qputenv("ORVANE_DATA_DIR", shipped.toUtf8());
        const QStringList expected{"English", "Deutsch",  "Español",  "Français",   "Italiano",
                                   "日本語",  "简体中文", "繁體中文", "Nederlands", "Português"};
        language_state() = language_state_s{};
        QCOMPARE(load_language(QStringLiteral("English"), true), 0);
        QCOMPARE(language_state().language_list, expected);
        const auto english = language_state().text_table;
        const char* looked_up[] = {"startup_warning",
                                   "main_warning1",
                                   "main_warning2",
                                   "back_warning",
                                   "quit_warning",
                                   "language_warning",
                                   "menu_help",
                                   "menu_exit",
                                   "home_text1",
                                   "home_text2",
                                   "home_text3",
                                   "drive_physical_drives",
                                   "drive_size",
                                   "volume_select",
                                   "volume_logical_drives",
                                   "local_disk",
                                   "recovery_free",
                                   "partition_fs",
                                   "scan_nosel_warning",
                                   "btn_scan",
                                   "btn_refresh",
                                   "btn_back",
                                   "btn_start",
                                   "btn_stop",
                                   "btn_repair",
                                   "partition_ss",
                                   "partition_es",
                                   "partition_number",
                                   "partition_text1",
                                   "partition_query",
                                   "partition_finished",
                                   "btn_pause",
                                   "btn_resume",
                                   "btn_save_result",
                                   "btn_recovery",
                                   "recovery_name",
                                   "recovery_date1",
                                   "recovery_date2",
                                   "recovery_reading",
                                   "recovery_total_files",
                                   "raw_progress",
                                   "deep_scan_query",
                                   "recovery_select",
                                   "recovery_check_warning",
                                   "recovery_same_volume_warning"};
        for (const char* key : looked_up) {
            QVERIFY2(english.count(key) && !english.at(key).isEmpty(), key);
        }
        for (const QString& language : expected) {
            language_state().text_table.clear();
            QCOMPARE(load_language(language, true), 0);
            QCOMPARE(language_state().text_table.size(), english.size());
            for (const auto& [key, value] : language_state().text_table) {
                QVERIFY2(!value.isEmpty(),
                         (language.toStdString() + " " + key.toStdString()).c_str());
            }
            if (language != QLatin1String("English")) {
                QVERIFY2(language_state().text_table.at("deep_scan_query") !=
                             english.at("deep_scan_query"),
                         qPrintable(language));
            }
        }
        qputenv("ORVANE_DATA_DIR", dir.filePath("data").toUtf8());
    }

    void format_size_cases_data() {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << quint64(0) << "0B";
        QTest::newRow("1024") << quint64(1024) << "1024B";
        QTest::newRow("1025") << quint64(1025) << "1.00K";
        QTest::newRow("2^20") << quint64(1048576) << "1024.00K";
        QTest::newRow("2^20+1") << quint64(1048577) << "1.00M";
        QTest::newRow("2^30") << quint64(1073741824) << "1024.00M";
        QTest::newRow("2^30+1") << quint64(1073741825) << "1.00G";
        QTest::newRow("half a decimal terabyte") << quint64(500000000000ULL) << "465.66G";
        QTest::newRow("no T unit") << quint64(4ULL << 40) << "4096.00G";
    }
    void format_size_cases() {
        QFETCH(quint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(format_size(bytes), expected);
    }

    void error_report_appends_and_never_truncates() {
        QFile::remove(error_log_path());
        error_report("ntfs_recovery", 105, "ntfs_scan_startup failed with return value (%d)", -3);
        error_report("ntfs_recovery", 105, "ntfs_scan_startup failed with return value (%d)", -4);
        QFile log(error_log_path());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(
            "  [ntfs_recovery:105] ntfs_scan_startup failed with return value (-3)"));
        QVERIFY(lines[1].endsWith("(-4)"));
        // ctime form: "Mon Dec  7 08:23:47 2026"
        QVERIFY(QRegularExpression(
                    "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}  \\[")
                    .match(QString::fromLatin1(lines[0]))
                    .hasMatch());
    }

    void error_report_survives_an_unwritable_log_folder() {
        write_file(dir.filePath("blocked"), "a file where the folder should be");
        qputenv("XDG_STATE_HOME", dir.filePath("blocked").toUtf8());
        error_report("ntfs_recovery", 105, "still reported (%d)", 1);  // must not crash or throw
        QVERIFY(!QFile::exists(error_log_path()));
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
    }
};

QTEST_GUILESS_MAIN(test_shell)
#include "test_shell.moc"
