#include "skin/message_box.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QLabel>
#include <QScreen>
#include <QToolTip>

#include <algorithm>

namespace {

constexpr int readable_chars = 60;     // a wrapped paragraph's width, in average characters
constexpr qsizetype one_line = 100;    // characters: a shorter line (a table entry, a command)
                                       // reads best unbroken
constexpr qsizetype break_every = 24;  // a tooltip's run without a place to break

QLabel* text_label(const QMessageBox* box) {
    return box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
}

}  // namespace

message_box_c::message_box_c(Icon icon, const QString& title, const QString& text,
                             StandardButtons buttons, QWidget* parent, Qt::WindowFlags flags)
    : QMessageBox(icon, title, text, buttons, parent, flags) {
    setIconPixmap(QPixmap(QStringLiteral(":/images/top.ico")));
    setTextFormat(Qt::PlainText);  // names from a disk are shown, never interpreted
}

int message_box_c::text_width() const {
    const QLabel* label = text_label(this);
    const QFontMetrics metrics(label ? label->font() : font());
    const QScreen* shown_on = screen();
    const int screen_width = shown_on ? shown_on->availableGeometry().width() : 800;
    // Room for the icon, the margins and the frame.
    const int limit = std::max(200, screen_width * 3 / 4 - 100);
    const int readable = std::min(limit, metrics.averageCharWidth() * readable_chars);
    int widest = 0;
    for (const QString& line : text().split(QLatin1Char('\n'))) {
        const int width = metrics.horizontalAdvance(line);
        // A paragraph wraps at the readable width; a line that cannot wrap, or reads best
        // whole, keeps its own.
        const bool whole = line.size() <= one_line || !line.contains(QLatin1Char(' '));
        widest = std::max(widest, whole ? width : std::min(width, readable));
        for (const QString& word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            widest = std::max(widest, metrics.horizontalAdvance(word));
        }
    }
    return std::min(widest + metrics.averageCharWidth(), limit);
}

void message_box_c::showEvent(QShowEvent* event) {
    // Qt sizes the box from its label's minimum width when it is shown: give the label the
    // text's width, so that the box is never narrower (or shorter) than what it says.
    if (QLabel* label = text_label(this)) {
        label->setWordWrap(true);
        label->setMinimumWidth(text_width());
    }
    QMessageBox::showEvent(event);
    if (QLabel* label = text_label(this)) {
        const int missing = label->heightForWidth(label->width()) - label->height();
        if (missing > 0) {
            setFixedSize(width(), height() + missing);
        }
    }
}

QString wrapping_tooltip(const QString& plain) {
    QString rich = QStringLiteral("<p style=\"white-space:pre-wrap\">");
    qsizetype run = 0;
    for (const QChar c : plain) {
        if (c == QLatin1Char('\n')) {
            rich += QStringLiteral("<br>");
            run = 0;
            continue;
        }
        rich += QString(c).toHtmlEscaped();
        run = c.isSpace() ? 0 : run + 1;
        // After a folder separator, or inside a long run, a zero-width place to break.
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || run >= break_every) {
            rich += QChar(0x200B);
            run = 0;
        }
    }
    return rich + QStringLiteral("</p>");
}

wrapping_tooltips_c::wrapping_tooltips_c(QAbstractItemView* view) : QObject(view), view_(view) {
    view->viewport()->installEventFilter(this);
}

bool wrapping_tooltips_c::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip || watched != view_->viewport()) {
        return false;
    }
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = view_->indexAt(help->pos());
    const QString tip = index.isValid() ? index.data(Qt::ToolTipRole).toString() : QString();
    if (tip.isEmpty()) {
        QToolTip::hideText();
    } else {
        QToolTip::showText(help->globalPos(), wrapping_tooltip(tip), view_->viewport(),
                           view_->visualRect(index));
    }
    return true;
}
