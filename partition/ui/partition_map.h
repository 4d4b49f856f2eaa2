#pragma once
// The map of the drive on the partition page: a horizontal bar drawn to scale with the
// found partitions in colour by file system, labelled where there is room, and the
// unallocated gaps between them in grey. Clicking a partition selects it; the page keeps
// the selection in step with its list.
//
// GUI thread; owned by the partition page, which hands it the partitions (a copy) and the
// drive's size whenever its list changes.

#include "partition/partition_item.h"

#include <QColor>
#include <QList>
#include <QRect>
#include <QWidget>

#include <cstdint>

class partition_map_c : public QWidget {
    Q_OBJECT
  public:
    explicit partition_map_c(QWidget* parent = nullptr);

    // The drive's size in sectors and its partitions; a selection that no longer exists goes.
    void set_partitions(const QList<partition_item_s>& partitions, std::uint64_t drive_sectors);
    // The partition shown selected (its index in the list), or -1 for none.
    void set_selected(int index);
    int selected() const { return selected_; }

    // Where partition `index` is drawn (empty when it is not), for tests and tool tips.
    QRect partition_rect(int index) const;
    // The colour a file system is drawn in.
    static QColor fs_colour(const QString& fs_name);

  signals:
    void partition_clicked(int index);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

  private:
    // The x range of sectors [first, last] inside the bar.
    QRect span(std::uint64_t first, std::uint64_t last) const;
    QRect bar() const;
    int index_at(const QPoint& point) const;

    QList<partition_item_s> partitions_;
    std::uint64_t drive_sectors_ = 0;
    int selected_ = -1;
};
