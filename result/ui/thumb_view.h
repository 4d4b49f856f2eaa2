#pragma once
// The picture grid of the scan page: a list view in icon mode whose items stand in a fixed
// grid, so that the rows in sight follow from the scroll position alone. Whenever the rows
// in sight change (scrolling, resizing, a new list) it asks its model for their thumbnails,
// and only for them. GUI thread.

#include <QListView>
#include <QTimer>

#include <vector>

class thumb_model_c;

class thumb_view_c : public QListView {
    Q_OBJECT
  public:
    explicit thumb_view_c(QWidget* parent = nullptr);

    void set_thumb_model(thumb_model_c* model);
    // The rows whose cells are at least partly in sight, in reading order.
    std::vector<int> rows_in_sight() const;
    // Asks for the thumbnails of the rows in sight now rather than after the next pause.
    void request_now();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    void schedule();

    thumb_model_c* thumbs_ = nullptr;
    QTimer settle_;  // coalesces the many scroll steps of one movement
};
