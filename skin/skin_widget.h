#pragma once
// The frameless, skinned top-level window that the main window derives from.
//
// It paints its frame from four edge images (the caption band is the top one), the title
// and the logo into the band, and its caption buttons over it; it drags from the caption
// zone, resizes from its edges (QSkinWidgetResizeHandler) and maximises on a double click
// in the caption. The window is translucent, so the rounded corners of the frame show the
// desktop. GUI thread only; the window owns its buttons, menu, timer and resize handler.

#include "skin/button.h"

#include <QByteArray>
#include <QList>
#include <QPixmap>
#include <QWidget>

class QMenu;
class QTimer;
class QSkinWidgetResizeHandler;

class QSkinWidget : public QWidget {
    Q_OBJECT
    friend class QSkinWidgetResizeHandler;

  public:
    explicit QSkinWidget(QWidget* parent = nullptr);
    ~QSkinWidget() override;

    // Maximise to the screen's available area, or restore; returns the new is_normal.
    bool toggle_maximized();

    // Caption zone height: presses above it may drag the window.
    static constexpr int caption_height = 100;

    bool style_dirty = true;
    QPixmap skin_pixmap;
    QSkinWidgetResizeHandler* resize_handler = nullptr;
    QList<button_c<QSkinWidget>*> buttons;
    QPixmap logo;
    button_c<QSkinWidget>* max_button = nullptr;
    QMenu* settings_menu = nullptr;
    QMenu* language_menu = nullptr;
    QByteArray normal_geometry;
    bool is_normal = true;

  signals:
    void aboutToClose();

  public slots:
    void updateStyle();
    void setLayered();
    void updateAlpha();
    virtual void on_click_close();
    virtual void on_click_help();
    virtual void on_click_language();

  public:
    // Actions of the caption buttons (run through their action pointers).
    virtual void on_click_top1();
    virtual void on_click_top2();
    virtual void on_click_top3();
    void on_click_maximize();
    void on_click_restore();
    void on_click_minimize();
    void on_click_settings();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    // The frame's texts and language images (top bar, settings menu) in the current
    // language, after a language change.
    void retranslate_frame();

  private:
    void set_top_images();
    void create_buttons();
    void create_settings_menu();
    bool any_button_hit(const QPoint& point) const;
    void run_action(button_c<QSkinWidget>::action_t action);

    QTimer* repaint_timer = nullptr;
    QAction* help_action = nullptr;
    QAction* exit_action = nullptr;
};

// Compiles the drawn images into the program (":/images/..."); safe to call more than once.
void init_image_resources();
