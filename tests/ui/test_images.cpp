// The drawn image set: every image the program loads exists at the size its page expects,
// in every language folder, and the animation decodes.
#include "skin/skin_widget.h"

#include <QImageReader>
#include <QMovie>
#include <QtTest>

class test_images : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { init_image_resources(); }

    void sizes_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        const auto add = [](const QString& path, QSize size) {
            QTest::newRow(qPrintable(path)) << path << size;
        };
        add(":/images/system/so.png", {800, 100});
        add(":/images/system/su.png", {10, 4});
        add(":/images/system/sl.png", {3, 539});
        add(":/images/system/sr.png", {3, 539});
        add(":/images/top/logo.png", {107, 77});
        add(":/images/background/bai.png", {5, 50});
        add(":/images/partition_search/drives.png", {20, 20});
        add(":/images/partition_search/red.png", {6, 18});
        add(":/images/partition_search/green.png", {5, 18});
        for (const char* name :
             {"quiButton", "maxButton", "resumeButton", "minButton", "settingButton"}) {
            for (int state = 1; state <= 3; ++state) {
                add(QStringLiteral(":/images/system/%1%2.png").arg(name).arg(state), {30, 21});
            }
        }
        for (const char* code :
             {"cn", "de", "en", "es", "fr", "hk", "it", "jp", "pt", "nl", "ar"}) {
            const QString folder = QStringLiteral(":/images/multilang/%1/").arg(code);
            for (int state = 1; state <= 3; ++state) {
                for (int n = 1; n <= 3; ++n) {
                    add(folder + QStringLiteral("btn_top%1%2.png").arg(n).arg(state), {95, 70});
                }
                add(folder + QStringLiteral("btn_start_scan%1.png").arg(state), {330, 106});
                add(folder + QStringLiteral("btn_resume_recovery%1.png").arg(state), {323, 106});
            }
        }
    }
    void sizes() {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QImageReader reader(path);
        QCOMPARE(reader.size(), size);
        QVERIFY2(!reader.read().isNull(), qPrintable(reader.errorString()));
    }

    void others_load() {
        for (const char* path :
             {":/images/top.ico", ":/images/home/wenzi.png", ":/images/recovery/folder.png",
              ":/images/partition_search/check1.png", ":/images/partition_search/check2.png",
              ":/images/partition_search/loding_on.png",
              ":/images/partition_search/icon_found1.png",
              ":/images/partition_search/btn_wai_1.png",
              ":/images/partition_search/btn_start_3.png"}) {
            QVERIFY2(!QImage(QString::fromLatin1(path)).isNull(), path);
        }
    }

    void states_differ_and_languages_differ() {
        const QImage normal(":/images/multilang/en/btn_top11.png");
        QVERIFY(normal != QImage(":/images/multilang/en/btn_top12.png"));
        QVERIFY(normal != QImage(":/images/multilang/de/btn_top11.png"));
        QVERIFY(normal != QImage(":/images/multilang/cn/btn_top11.png"));
        // Arabic has no texts of its own: its buttons are the English ones
        QCOMPARE(QImage(":/images/multilang/ar/btn_top11.png"), normal);
    }

    void animation_decodes() {
        QMovie movie(QStringLiteral(":/images/recovery/ani.gif"));
        QVERIFY(movie.isValid());
        QImageReader reader(QStringLiteral(":/images/recovery/ani.gif"));
        QVERIFY(reader.supportsAnimation());
        int frames = 0;
        for (QImage frame = reader.read(); !frame.isNull(); frame = reader.read()) {
            ++frames;
            QCOMPARE(frame.size(), QSize(130, 86));
            QCOMPARE(frame.pixelColor(0, 0).alpha(), 0);      // transparent around the drawing
            QCOMPARE(frame.pixelColor(65, 60).alpha(), 255);  // the drive
        }
        QCOMPARE(frames, 16);
    }
};

QTEST_MAIN(test_images)
#include "test_images.moc"
