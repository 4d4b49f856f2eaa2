#include "skin/skin_widget.h"

#include "core/settings.h"
#include "skin/skin_widget_resize_handler.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <functional>

static void init_images_once() {
    Q_INIT_RESOURCE(images);
}

void init_image_resources() {
    static const bool done = [] {
        init_images_once();
        return true;
    }();
    (void)done;
}

namespace {

constexpr int corner_width = 64;  // fixed corners of the top edge image

const QString system_folder = QStringLiteral(":/images/system/");

QString system_image(const char* name, int state) {
    return system_folder + QString::fromLatin1(name) + QString::number(state) +
           QStringLiteral(".png");
}

}  // namespace

QSkinWidget::QSkinWidget(QWidget* parent) : QWidget(parent) {
    init_image_resources();
    logo.load(QStringLiteral(":/images/top/logo.png"));
    create_buttons();
    create_settings_menu();
    setWindowFlags(Qt::FramelessWindowHint);
    // The translucent background must be asked for before the native window exists, so it
    // is set here rather than after the first turn of the event loop.
    setLayered();
    setWindowTitle(QStringLiteral("Orvane"));
    skin_pixmap = QPixmap(size());

    // Child widgets change without asking the frame to repaint (progress, animations):
    // refresh the window at least every 400 ms.
    repaint_timer = new QTimer(this);
    connect(repaint_timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    repaint_timer->start(400);

    setMouseTracking(true);
    const QPixmap top(system_folder + QStringLiteral("so.png"));
    const QPixmap bottom(system_folder + QStringLiteral("su.png"));
    const QPixmap left(system_folder + QStringLiteral("sl.png"));
    const QPixmap right(system_folder + QStringLiteral("sr.png"));
    setContentsMargins(left.width(), top.height(), right.width(), bottom.height());
    resize_handler = new QSkinWidgetResizeHandler(this);
    style_dirty = true;
}

QSkinWidget::~QSkinWidget() {
    qDeleteAll(buttons);
}

void QSkinWidget::set_top_images() {
    const QString folder = QStringLiteral(":/images/multilang/") + image_folder_code();
    for (int n = 1; n <= 3 && n <= buttons.size(); ++n) {
        const QString base = folder + QStringLiteral("/btn_top") + QString::number(n);
        buttons.at(n - 1)->set_images(base + QStringLiteral("1.png"),
                                      base + QStringLiteral("2.png"),
                                      base + QStringLiteral("3.png"));
    }
}

void QSkinWidget::retranslate_frame() {
    set_top_images();
    language_menu->setTitle(text("menu_language"));
    for (QAction* entry : language_menu->actions()) {
        entry->setChecked(entry->data().toInt() == language_state().current_index);
    }
    help_action->setText(text("menu_help"));
    exit_action->setText(text("menu_exit"));
    style_dirty = true;
    update();
}

void QSkinWidget::create_buttons() {
    const QString folder = QStringLiteral(":/images/multilang/") + image_folder_code();
    const std::pair<button_c<QSkinWidget>::action_t, int> top_actions[] = {
        {&QSkinWidget::on_click_top1, 10},
        {&QSkinWidget::on_click_top2, 113},
        {&QSkinWidget::on_click_top3, 216},
    };
    int n = 1;
    for (const auto& [action, x] : top_actions) {
        auto* button = new top_button_c<QSkinWidget>;
        const QString base = folder + QStringLiteral("/btn_top") + QString::number(n++);
        button->init(base + QStringLiteral("1.png"), base + QStringLiteral("2.png"),
                     base + QStringLiteral("3.png"), QRect(x, 25, 95, 70));
        button->action = action;
        buttons << button;
    }
    const std::pair<const char*, button_c<QSkinWidget>::action_t> system_buttons[] = {
        {"quiButton", &QSkinWidget::on_click_close},
        {"maxButton", &QSkinWidget::on_click_maximize},
        {"minButton", &QSkinWidget::on_click_minimize},
        {"settingButton", &QSkinWidget::on_click_settings},
    };
    int x = 1;
    for (const auto& [name, action] : system_buttons) {
        auto* button = new system_button_c<QSkinWidget>;
        button->init(system_image(name, 1), system_image(name, 2), system_image(name, 3),
                     QRect(x, 1, 30, 21));
        button->action = action;
        if (action == &QSkinWidget::on_click_maximize) {
            max_button = button;
        }
        buttons << button;
        x += 30;
    }
}

void QSkinWidget::create_settings_menu() {
    settings_menu = new QMenu(this);
    language_menu = settings_menu->addMenu(text("menu_language"));
    const QStringList& list = language_state().language_list;
    // In the language file's order; the language in use carries the mark.
    auto* group = new QActionGroup(language_menu);
    group->setExclusive(true);
    for (int index = 0; index < static_cast<int>(list.size()); ++index) {
        QAction* entry = language_menu->addAction(list.at(index));
        entry->setData(index);
        entry->setCheckable(true);
        entry->setChecked(index == language_state().current_index);
        group->addAction(entry);
        connect(entry, &QAction::triggered, this, &QSkinWidget::on_click_language);
    }
    settings_menu->addSeparator();
    help_action = settings_menu->addAction(text("menu_help"));
    connect(help_action, &QAction::triggered, this, &QSkinWidget::on_click_help);
    settings_menu->addSeparator();
    exit_action = settings_menu->addAction(text("menu_exit"));
    connect(exit_action, &QAction::triggered, this, &QSkinWidget::on_click_close);
}

void QSkinWidget::setLayered() {
    setAttribute(Qt::WA_TranslucentBackground);
}

void QSkinWidget::updateAlpha() {
    // The skin reaches the screen in paintEvent; ask for one.
    update();
}

void QSkinWidget::updateStyle() {
    const int W = width();
    const int H = height();
    skin_pixmap = QPixmap(W, H);
    skin_pixmap.fill(Qt::transparent);
    const QPixmap top(system_folder + QStringLiteral("so.png"));
    const QPixmap bottom(system_folder + QStringLiteral("su.png"));
    const QPixmap left(system_folder + QStringLiteral("sl.png"));
    const QPixmap right(system_folder + QStringLiteral("sr.png"));
    const int hT = top.height();
    const int hB = bottom.height();
    const int wL = left.width();
    const int wR = right.width();

    QPainter p(&skin_pixmap);
    p.drawPixmap(QRect(W - corner_width, 0, corner_width, hT), top,
                 QRect(top.width() - corner_width, 0, corner_width, hT));
    p.drawPixmap(QRect(0, 0, corner_width, hT), top, QRect(0, 0, corner_width, hT));
    p.drawPixmap(QRect(corner_width, 0, W - 2 * corner_width, hT), top,
                 QRect(corner_width, 0, top.width() - 2 * corner_width, hT));

    p.drawPixmap(QRect(wL, H - hB, W - wL - wR, hB), bottom,
                 QRect(wL, 0, bottom.width() - wL - wR, hB));
    p.drawPixmap(QRect(0, H - hB, wL, hB), bottom, QRect(0, 0, wL, hB));
    p.drawPixmap(QRect(W - wR, H - hB, wR, hB), bottom, QRect(bottom.width() - wR, 0, wR, hB));

    p.drawPixmap(QRect(W - wR, hT, wR, H - hT - hB), right);
    p.drawPixmap(QRect(0, hT, wL, H - hB - hT), left);

    p.drawPixmap(W - 120, 24, logo);
    p.setFont(QFont(QStringLiteral("Comic Sans MS")));
    p.setPen(Qt::white);
    p.drawText(10, 20, windowTitle());
    style_dirty = false;
}

void QSkinWidget::paintEvent(QPaintEvent* event) {
    (void)event;
    if (style_dirty || skin_pixmap.size() != size()) {
        updateStyle();
    }
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawPixmap(0, 0, skin_pixmap);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Named children cover the transparent interior with their own background colour.
    for (QObject* child : children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->objectName().isEmpty() && widget->isVisible()) {
            p.fillRect(widget->geometry(), widget->palette().window());
        }
    }
    for (const button_c<QSkinWidget>* button : buttons) {
        button->paint(p, rect());
    }
}

void QSkinWidget::run_action(button_c<QSkinWidget>::action_t action) {
    if (action) {
        std::invoke(action, this);
    }
}

bool QSkinWidget::any_button_hit(const QPoint& point) const {
    for (const button_c<QSkinWidget>* button : buttons) {
        if (button->hit_test(point, rect())) {
            return true;
        }
    }
    return false;
}

void QSkinWidget::mousePressEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    if (point.y() > caption_height) {
        resize_handler->set_active_for_move(false);
        return;
    }
    bool hit = false;
    for (button_c<QSkinWidget>* button : buttons) {
        if (button->hit_test(point, rect())) {
            hit = true;
            if (button->state != 2) {
                button->state = 2;
                update();
                break;
            }
        }
    }
    resize_handler->set_active_for_move(!hit);
}

void QSkinWidget::mouseMoveEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    for (button_c<QSkinWidget>* button : buttons) {
        const bool hit = button->hit_test(point, rect());
        if (hit && button->state == 0) {
            button->state = 1;
            update();
            return;
        }
        if (!hit && button->state != 0) {
            button->state = 0;
            update();
            return;
        }
    }
}

void QSkinWidget::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    for (button_c<QSkinWidget>* button : buttons) {
        if (button->hit_test(point, rect()) && button->state != 1) {
            button->state = 1;
            update();
            run_action(button->action);
            event->accept();
            return;
        }
    }
}

void QSkinWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    if (point.y() > caption_height || any_button_hit(point)) {
        return;
    }
    if (max_button) {
        run_action(max_button->action);
    }
}

void QSkinWidget::leaveEvent(QEvent* event) {
    // The pointer left the window without a move over the frame: no button stays lit.
    (void)event;
    bool changed = false;
    for (button_c<QSkinWidget>* button : buttons) {
        changed = changed || button->state != 0;
        button->state = 0;
    }
    if (changed) {
        update();
    }
}

void QSkinWidget::resizeEvent(QResizeEvent* event) {
    (void)event;
    style_dirty = true;
}

void QSkinWidget::closeEvent(QCloseEvent* event) {
    (void)event;
    emit aboutToClose();
}

bool QSkinWidget::toggle_maximized() {
    if (is_normal) {
        normal_geometry = saveGeometry();
        QScreen* target = screen() ? screen() : QGuiApplication::primaryScreen();
        if (target) {
            setGeometry(target->availableGeometry());
        }
    } else {
        restoreGeometry(normal_geometry);
    }
    is_normal = !is_normal;
    return is_normal;
}

void QSkinWidget::on_click_maximize() {
    max_button->set_images(system_image("resumeButton", 1), system_image("resumeButton", 2),
                           system_image("resumeButton", 3));
    max_button->action = &QSkinWidget::on_click_restore;
    toggle_maximized();
}

void QSkinWidget::on_click_restore() {
    max_button->set_images(system_image("maxButton", 1), system_image("maxButton", 2),
                           system_image("maxButton", 3));
    max_button->action = &QSkinWidget::on_click_maximize;
    toggle_maximized();
}

void QSkinWidget::on_click_minimize() {
    for (button_c<QSkinWidget>* button : buttons) {
        button->state = 0;
    }
    showMinimized();
}

void QSkinWidget::on_click_settings() {
    settings_menu->exec(QCursor::pos());
}

void QSkinWidget::on_click_close() {
    close();
}

void QSkinWidget::on_click_help() {}

void QSkinWidget::on_click_language() {}

void QSkinWidget::on_click_top1() {}

void QSkinWidget::on_click_top2() {}

void QSkinWidget::on_click_top3() {}
