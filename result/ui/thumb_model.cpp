#include "result/ui/thumb_model.h"

#include "device/drive_list.h"
#include "result/ui/thumb_loader.h"

#include <QPainter>
#include <QPainterPath>

thumb_model_c::thumb_model_c(std::vector<recovery_item_s>* items, thumb_loader_c* loader,
                             QObject* parent)
    : QAbstractListModel(parent), items_(items), loader_(loader) {
    connect(loader_, &thumb_loader_c::ready, this, &thumb_model_c::on_ready);
    rows_changed();
}

int thumb_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_->size());
}

QPixmap thumb_model_c::type_sign(const QString& suffix, int side) {
    QPixmap sign(side, side);
    sign.fill(Qt::transparent);
    QPainter painter(&sign);
    painter.setRenderHint(QPainter::Antialiasing);
    // A sheet with a folded corner, the suffix across it.
    const qreal w = side * 0.62;
    const qreal h = side * 0.8;
    const QRectF sheet((side - w) / 2, (side - h) / 2, w, h);
    const qreal fold = w * 0.28;
    QPainterPath path;
    path.moveTo(sheet.topLeft());
    path.lineTo(sheet.right() - fold, sheet.top());
    path.lineTo(sheet.right(), sheet.top() + fold);
    path.lineTo(sheet.bottomRight());
    path.lineTo(sheet.bottomLeft());
    path.closeSubpath();
    painter.setPen(QPen(QColor(0x8b, 0xb8, 0xfe), 1.5));
    painter.setBrush(QColor(0xf4, 0xf8, 0xff));
    painter.drawPath(path);
    painter.drawLine(QPointF(sheet.right() - fold, sheet.top()),
                     QPointF(sheet.right() - fold, sheet.top() + fold));
    painter.drawLine(QPointF(sheet.right() - fold, sheet.top() + fold),
                     QPointF(sheet.right(), sheet.top() + fold));
    QFont font(QStringLiteral("Arial"));
    font.setBold(true);
    font.setPixelSize(std::max(8, side / 7));
    painter.setFont(font);
    painter.setPen(QColor(0x3a, 0x6e, 0xc8));
    const QString label = suffix.isEmpty() ? QStringLiteral("?") : suffix.left(5).toUpper();
    painter.drawText(sheet.adjusted(2, fold, -2, 0), Qt::AlignCenter, label);
    return sign;
}

QVariant thumb_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const recovery_item_s& item = (*items_)[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return item.name;
        case Qt::ToolTipRole:
            return QStringLiteral("%1\n%2").arg(item.name, format_size(item.size));
        case Qt::CheckStateRole:
            return item.checked ? Qt::Checked : Qt::Unchecked;
        case Qt::DecorationRole: {
            if (const QImage* thumb = loader_->find(item)) {
                return *thumb;
            }
            const qsizetype dot = item.name.lastIndexOf(QLatin1Char('.'));
            const QString suffix = dot < 0 ? QString() : item.name.mid(dot + 1).toLower();
            auto sign = signs_.find(suffix);
            if (sign == signs_.end()) {
                sign = signs_.insert(suffix, type_sign(suffix, thumb_loader_c::side));
            }
            return *sign;
        }
        default:
            return {};
    }
}

bool thumb_model_c::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= rowCount()) {
        return false;
    }
    (*items_)[static_cast<std::size_t>(index.row())].checked =
        value.toInt() == static_cast<int>(Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit ticks_changed();
    return true;
}

Qt::ItemFlags thumb_model_c::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void thumb_model_c::rows_changed() {
    beginResetModel();
    rows_.clear();
    rows_.reserve(static_cast<qsizetype>(items_->size()));
    for (std::size_t row = 0; row < items_->size(); ++row) {
        rows_.insert(thumb_loader_c::key_of((*items_)[row]), static_cast<int>(row));
    }
    endResetModel();
}

void thumb_model_c::request_rows(const std::vector<int>& rows) {
    std::vector<recovery_item_s> wanted;
    wanted.reserve(rows.size());
    for (const int row : rows) {
        if (row >= 0 && row < rowCount()) {
            wanted.push_back((*items_)[static_cast<std::size_t>(row)]);
        }
    }
    loader_->want(wanted);
}

void thumb_model_c::on_ready(std::uint64_t key) {
    const auto row = rows_.constFind(key);
    if (row == rows_.cend() || *row >= rowCount()) {
        return;
    }
    const QModelIndex cell = index(*row);
    emit dataChanged(cell, cell, {Qt::DecorationRole});
}
