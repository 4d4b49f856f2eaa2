#include "app/ui/home_window.h"

#include "core/settings.h"
#include "skin/focus_frame.h"
#include "ui_home_window.h"

#include <QEvent>
#include <QPainter>
#include <QPixmap>

QString three_state_style(const QString& base_name) {
    const QString folder = QStringLiteral("/images/multilang/") + image_folder_code() +
                           QStringLiteral("/") + base_name;
    return QStringLiteral(
               "QPushButton{ border-image: url(:%1); }QPushButton:hover{ border-image: "
               "url(:%2);}QPushButton:pressed{  border-image: url(:%3);}")
        .arg(folder + QStringLiteral("1.png"), folder + QStringLiteral("2.png"),
             folder + QStringLiteral("3.png"));
}

home_window_c::home_window_c(QWidget* parent)
    : QWidget(parent), form(std::make_unique<Ui::HomeForm>()) {
    form->setupUi(this);
    form->btn_start->setGeometry(40, 105, 330, 106);
    form->btn_resume->setGeometry(425, 105, 323, 106);
    form->lbl_wenzi->setGeometry(55, 262, 692, 188);
    connect(form->btn_start, &QPushButton::clicked, this, &home_window_c::start_clicked);
    connect(form->btn_resume, &QPushButton::clicked, this, &home_window_c::resume_clicked);
    form->lbl_wenzi->hide();
    set_language();
    install_focus_frames(this);
}

home_window_c::~home_window_c() = default;

void home_window_c::set_language() {
    form->btn_start->setStyleSheet(three_state_style(QStringLiteral("btn_start_scan")));
    form->btn_resume->setStyleSheet(three_state_style(QStringLiteral("btn_resume_recovery")));
    // The buttons' words are in their images: a screen reader gets them from here.
    form->btn_start->setAccessibleName(text("a11y_start_scan"));
    form->btn_resume->setAccessibleName(text("a11y_resume"));
    form->btn_start->setToolTip(text("a11y_start_scan"));
    form->btn_resume->setToolTip(text("a11y_resume"));
}

void home_window_c::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && form) {
        set_language();
        update();
    }
}

void home_window_c::paintEvent(QPaintEvent* event) {
    (void)event;
    const int h = height();
    QPainter p(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    p.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    p.drawPixmap(55, h - 240, QPixmap(QStringLiteral(":/images/home/wenzi.png")));
    p.setFont(QFont(QStringLiteral("arial"), 8));
    p.setPen(QColor(91, 135, 201));
    p.drawText(70, h - 190, text("home_text1"));
    p.drawText(70, h - 140, text("home_text2"));
    p.drawText(70, h - 90, text("home_text3"));
}
