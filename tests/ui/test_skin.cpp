// The skinned window and its caption buttons: hit tests, the button state machine,
// maximise and restore, minimise, dragging and resizing.
#include "core/settings.h"
#include "skin/skin_widget.h"
#include "skin/skin_widget_resize_handler.h"
#include "ui/ui_test_support.h"

#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Counts the top buttons' actions.
class counting_window_c : public QSkinWidget {
  public:
    int top_clicks[3] = {0, 0, 0};
    void on_click_top1() override { ++top_clicks[0]; }
    void on_click_top2() override { ++top_clicks[1]; }
    void on_click_top3() override { ++top_clicks[2]; }
    using QSkinWidget::mousePressEvent;
};

enum button_index_e { top1 = 0, top2, top3, close_button, max_button, min_button, settings_button };

void send_mouse(QWidget* window, QEvent::Type type, QPoint local, QPoint global,
                Qt::MouseButtons buttons) {
    const Qt::MouseButton button =
        type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButton::LeftButton;
    QMouseEvent event(type, QPointF(local), QPointF(global), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(window, &event);
}

void move_to(QWidget* window, QPoint point) {
    send_mouse(window, QEvent::MouseMove, point, window->mapToGlobal(point), Qt::NoButton);
}

QImage image_of(const QString& path) {
    return QImage(path).convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

class test_skin : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<counting_window_c> window;

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
    }

    void init() {
        window = std::make_unique<counting_window_c>();
        window->setGeometry(100, 100, 800, 600);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() { window.reset(); }

    void frame_margins_come_from_the_edge_images() {
        QCOMPARE(window->contentsMargins(), QMargins(3, 100, 3, 4));
        QCOMPARE(window->logo.size(), QSize(107, 77));
        QCOMPARE(window->buttons.size(), 7);
        for (auto* button : window->buttons) {
            QVERIFY(!button->current_image().isNull());
        }
    }

    void hit_tests_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<bool>("hit");
        QTest::newRow("close, left end") << int(close_button) << QPoint(769, 1) << true;
        QTest::newRow("close, right end") << int(close_button) << QPoint(798, 21) << true;
        QTest::newRow("close, last column") << int(close_button) << QPoint(799, 10) << false;
        QTest::newRow("close, below") << int(close_button) << QPoint(780, 22) << false;
        QTest::newRow("close, above") << int(close_button) << QPoint(780, 0) << false;
        QTest::newRow("close, left of it") << int(close_button) << QPoint(768, 10) << false;
        QTest::newRow("maximise, right end") << int(max_button) << QPoint(768, 10) << true;
        QTest::newRow("maximise, left end") << int(max_button) << QPoint(739, 10) << true;
        QTest::newRow("maximise, left of it") << int(max_button) << QPoint(738, 10) << false;
        QTest::newRow("settings, left end") << int(settings_button) << QPoint(679, 10) << true;
        QTest::newRow("top 1, top left") << int(top1) << QPoint(10, 25) << true;
        QTest::newRow("top 1, bottom right") << int(top1) << QPoint(104, 94) << true;
        QTest::newRow("top 1, right of it") << int(top1) << QPoint(105, 50) << false;
        QTest::newRow("top 1, below") << int(top1) << QPoint(50, 95) << false;
        QTest::newRow("top 2, left end") << int(top2) << QPoint(113, 50) << true;
        QTest::newRow("top 3, right end") << int(top3) << QPoint(310, 50) << true;
    }
    void hit_tests() {
        QFETCH(int, button);
        QFETCH(QPoint, point);
        QFETCH(bool, hit);
        QCOMPARE(window->buttons.at(button)->hit_test(point, QRect(0, 0, 800, 600)), hit);
    }

    void system_buttons_paint_from_the_right_edge() {
        QImage image(800, 600, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        window->buttons.at(close_button)->state = 1;
        window->buttons.at(close_button)->paint(painter, QRect(0, 0, 800, 600));
        painter.end();
        const QImage hover = image_of(QStringLiteral(":/images/system/quiButton2.png"));
        QCOMPARE(image.copy(769, 1, 30, 21), hover);
    }

    void pointer_moves_light_one_button_at_a_time() {
        auto& b = window->buttons;
        move_to(window.get(), QPoint(780, 10));
        QCOMPARE(b.at(close_button)->state, 1);
        // straight onto the maximise button: the first move darkens close only
        move_to(window.get(), QPoint(750, 10));
        QCOMPARE(b.at(close_button)->state, 0);
        QCOMPARE(b.at(max_button)->state, 0);
        move_to(window.get(), QPoint(751, 10));
        QCOMPARE(b.at(max_button)->state, 1);
        move_to(window.get(), QPoint(400, 300));
        QCOMPARE(b.at(max_button)->state, 0);
        // leaving the window straight from a button darkens it
        move_to(window.get(), QPoint(50, 50));
        QCOMPARE(b.at(top1)->state, 1);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(window.get(), &leave);
        QCOMPARE(b.at(top1)->state, 0);
    }

    void press_and_release_data() {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<int>("state_after");
        QTest::newRow("inside") << QPoint(50, 50) << QPoint(60, 60) << 1 << 1;
        QTest::newRow("released outside") << QPoint(50, 50) << QPoint(400, 300) << 0 << 2;
        QTest::newRow("released on the edge") << QPoint(10, 25) << QPoint(104, 94) << 1 << 1;
    }
    void press_and_release() {
        QFETCH(QPoint, press);
        QFETCH(QPoint, release);
        QFETCH(int, clicks);
        QFETCH(int, state_after);
        send_mouse(window.get(), QEvent::MouseButtonPress, press, window->mapToGlobal(press),
                   Qt::LeftButton);
        QCOMPARE(window->buttons.at(top1)->state, 2);
        QVERIFY(!window->resize_handler->active_for_move());
        send_mouse(window.get(), QEvent::MouseButtonRelease, release, window->mapToGlobal(release),
                   Qt::NoButton);
        QCOMPARE(window->top_clicks[0], clicks);
        QCOMPARE(window->buttons.at(top1)->state, state_after);
        QCOMPARE(window->top_clicks[1] + window->top_clicks[2], 0);
    }

    void release_over_a_lit_button_does_nothing() {
        move_to(window.get(), QPoint(150, 50));
        QCOMPARE(window->buttons.at(top2)->state, 1);
        send_mouse(window.get(), QEvent::MouseButtonRelease, QPoint(150, 50),
                   window->mapToGlobal(QPoint(150, 50)), Qt::NoButton);
        QCOMPARE(window->top_clicks[1], 0);
    }

    void a_second_button_pressed_after_the_first() {
        auto& b = window->buttons;
        send_mouse(window.get(), QEvent::MouseButtonPress, QPoint(50, 50),
                   window->mapToGlobal(QPoint(50, 50)), Qt::LeftButton);
        send_mouse(window.get(), QEvent::MouseButtonRelease, QPoint(50, 50),
                   window->mapToGlobal(QPoint(50, 50)), Qt::NoButton);
        send_mouse(window.get(), QEvent::MouseButtonPress, QPoint(250, 50),
                   window->mapToGlobal(QPoint(250, 50)), Qt::LeftButton);
        QCOMPARE(b.at(top3)->state, 2);
        QCOMPARE(b.at(top1)->state, 1);  // stays lit until the pointer moves off it
        send_mouse(window.get(), QEvent::MouseButtonRelease, QPoint(250, 50),
                   window->mapToGlobal(QPoint(250, 50)), Qt::NoButton);
        QCOMPARE(window->top_clicks[0], 1);
        QCOMPARE(window->top_clicks[2], 1);
    }

    void only_the_free_caption_drags_data() {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<bool>("moves");
        QTest::newRow("caption outside the buttons") << QPoint(450, 50) << true;
        QTest::newRow("caption bottom line") << QPoint(450, 100) << true;
        QTest::newRow("below the caption") << QPoint(450, 101) << false;
        QTest::newRow("on a top button") << QPoint(50, 50) << false;
        QTest::newRow("on the close button") << QPoint(780, 10) << false;
    }
    void only_the_free_caption_drags() {
        QFETCH(QPoint, press);
        QFETCH(bool, moves);
        const QPoint start = window->pos();
        const QPoint global = window->mapToGlobal(press);
        send_mouse(window.get(), QEvent::MouseButtonPress, press, global, Qt::LeftButton);
        QCOMPARE(window->resize_handler->active_for_move(), moves);
        send_mouse(window.get(), QEvent::MouseMove, press, global + QPoint(40, 30), Qt::LeftButton);
        send_mouse(window.get(), QEvent::MouseButtonRelease, press, global + QPoint(40, 30),
                   Qt::NoButton);
        QCOMPARE(window->pos(), moves ? start + QPoint(40, 30) : start);
        QCOMPARE(window->size(), QSize(800, 600));
    }

    void edges_resize_but_not_below_the_minimum() {
        window->setMinimumSize(800, 600);
        const QPoint edge(799, 300);
        const QPoint global = window->mapToGlobal(edge);
        send_mouse(window.get(), QEvent::MouseButtonPress, edge, global, Qt::LeftButton);
        send_mouse(window.get(), QEvent::MouseMove, edge, global + QPoint(50, 0), Qt::LeftButton);
        QCOMPARE(window->size(), QSize(850, 600));
        send_mouse(window.get(), QEvent::MouseMove, edge, global - QPoint(70, 0), Qt::LeftButton);
        QCOMPARE(window->size(), QSize(800, 600));
        send_mouse(window.get(), QEvent::MouseButtonRelease, edge, global, Qt::NoButton);
        QVERIFY(window->style_dirty || window->skin_pixmap.size() == window->size());
    }

    void maximise_and_restore() {
        const QRect normal = window->geometry();
        const QRect available = window->screen()->availableGeometry();
        auto* max = window->max_button;
        const QPoint on_max(750, 10);
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, on_max);
        QCOMPARE(window->geometry(), available);
        QVERIFY(!window->is_normal);
        QCOMPARE(max->current_image().toImage().convertToFormat(QImage::Format_ARGB32),
                 image_of(QStringLiteral(":/images/system/resumeButton2.png")));
        QVERIFY(max->action == &QSkinWidget::on_click_restore);

        const QPoint on_max_now(available.width() - 50, 10);
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, on_max_now);
        QCOMPARE(window->geometry(), normal);
        QVERIFY(window->is_normal);
        QVERIFY(max->action == &QSkinWidget::on_click_maximize);
        max->state = 0;
        QCOMPARE(max->current_image().toImage().convertToFormat(QImage::Format_ARGB32),
                 image_of(QStringLiteral(":/images/system/maxButton1.png")));
    }

    void double_click_in_the_free_caption_maximises() {
        const QRect normal = window->geometry();
        QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(450, 150));
        QCOMPARE(window->geometry(), normal);
        QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(50, 50));  // a button
        QCOMPARE(window->geometry(), normal);
        QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(450, 50));
        QCOMPARE(window->geometry(), window->screen()->availableGeometry());
        QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(450, 50));
        QCOMPARE(window->geometry(), normal);
    }

    void minimise_returns_every_button_to_normal() {
        for (auto* button : window->buttons) {
            button->state = 1;
        }
        window->buttons.at(min_button)->state = 2;
        window->on_click_minimize();
        for (auto* button : window->buttons) {
            QCOMPARE(button->state, 0);
        }
        QVERIFY(window->isMinimized());
    }

    void settings_button_pops_the_menu_up() {
        QMenu* shown = nullptr;
        QTimer poll;  // closes the pop-up as soon as it is up
        connect(&poll, &QTimer::timeout, [&shown] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                shown = menu;
                menu->close();
            }
        });
        poll.start(5);
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(690, 10));
        QCOMPARE(shown, window->settings_menu);
        QCOMPARE(window->buttons.at(settings_button)->state, 1);
    }

    void close_tells_before_it_closes() {
        QSignalSpy about(window.get(), &QSkinWidget::aboutToClose);
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(780, 10));
        QCOMPARE(about.count(), 1);
        QVERIFY(!window->isVisible());
    }
};

QTEST_MAIN(test_skin)
#include "test_skin.moc"
