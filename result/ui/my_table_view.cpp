#include "result/ui/my_table_view.h"

#include <QKeyEvent>

void MyQTableView::keyPressEvent(QKeyEvent* event) {
    const QModelIndex before = currentIndex();
    const bool plain =
        event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier;
    if (plain && before.isValid() && event->key() == Qt::Key_Space) {
        emit clicked(before.siblingAtColumn(0));  // the tick box
        event->accept();
        return;
    }
    if (plain && before.isValid() &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        emit clicked(before.siblingAtColumn(1));  // the name: previewed
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after.row() != before.row()) {
        emit clicked(after.column() == 0 ? after.siblingAtColumn(1) : after);
    }
}
