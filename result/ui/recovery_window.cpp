#include "result/ui/recovery_window.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/volume_list.h"
#include "result/file_list.h"
#include "result/ui/deep_continue.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_model.h"
#include "result/ui/thumb_loader.h"
#include "result/ui/thumb_model.h"
#include "result/ui/thumb_view.h"
#include "result/ui/tree_model.h"
#include "skin/focus_frame.h"
#include "skin/message_box.h"
#include "skin/progress_bar.h"
#include "ui_recovery_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QSettings>
#include <QToolButton>

bool scanning = false;

namespace {

QString button_sheet(const char* image) {
    return QStringLiteral(
               "QPushButton{border-image:url(:/images/partition_search/%1_1.png);}"
               "QPushButton:hover{border-image:url(:/images/partition_search/%1_2.png);}"
               "QPushButton:pressed{border-image:url(:/images/partition_search/%1_3.png);}")
        .arg(QLatin1String(image));
}

const QString scan_file_filter = QStringLiteral("OrvaneRecovery Scan files (*.sav);;All files (*)");

}  // namespace

recovery_window_c::recovery_window_c(QWidget* parent)
    : QWidget(parent), form(std::make_unique<Ui::RecoveryForm>()) {
    form->setupUi(this);
    register_result_meta_types();
    QPalette light = palette();
    light.setColor(QPalette::Window, Qt::white);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    setPalette(light);

    const QFont button_font(QStringLiteral("Arial"), 11);
    const struct {
        QPushButton* button;
        const char* image;
        const char* key;
    } buttons[] = {{form->btn_recovery, "btn_wai", "btn_recovery"},
                   {form->btn_back, "btn_wai", "btn_back"},
                   {form->btn_stop, "btn_start", "btn_stop"},
                   {form->btn_pause, "btn_start", "btn_pause"},
                   {form->btn_filter, "btn_start", "btn_save_result"}};
    for (const auto& b : buttons) {
        b.button->setFont(button_font);
        b.button->setStyleSheet(button_sheet(b.image));
        b.button->setText(text(b.key));
    }
    movie = new QMovie(QStringLiteral(":/images/recovery/ani.gif"), QByteArray(), this);
    form->lbl_anime->setGeometry(0, 0, 130, 86);
    form->lbl_anime->setMovie(movie);
    movie->jumpToFrame(0);

    // The file table, as the result views are set up everywhere.
    table = new MyQTableView(this);
    table->setObjectName(QStringLiteral("tv_files"));
    table->setStyleSheet(
        QStringLiteral("QTableView{border-style: none;border: 1px solid #8bb8fe;}"));
    set_table_model();
    table->setItemDelegate(new recovery_delegate_c(table));
    table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    header = new MyHeaderView(table);
    header->resizeSection(0, 33);
    table->setHorizontalHeader(header);
    header->resizeSection(0, 33);
    header->resizeSection(1, 235);
    header->sorted_section = sort_column;

    form->tv_dirtree->header()->hide();
    new wrapping_tooltips_c(form->tv_dirtree);  // a deep folder's path can be long
    // The one column fills the tree's width: a name too long for it ends in "…" and its
    // tooltip gives the whole path.
    form->tv_dirtree->header()->setSectionResizeMode(QHeaderView::Stretch);
    form->tv_dirtree->header()->setStretchLastSection(true);
    form->tv_dirtree->setTextElideMode(Qt::ElideRight);
    form->tv_dirtree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    form->tv_dirtree->setStyleSheet(QStringLiteral(
        "QTreeView  {\n    border-style: none;\n    border: 1px solid #8bb8fe;\n }\n"));
    reset_tree();

    // Beyond the design's page: keep the folders when restoring, and filter the open folder.
    keep_folders = new QCheckBox(text("recovery_keep_folders"), this);
    keep_folders->setObjectName(QStringLiteral("chk_keep_folders"));
    // Remembered from one restore (and one start) to the next.
    keep_folders->setChecked(settings().value(QStringLiteral("keep_folders"), false).toBool());
    connect(keep_folders, &QCheckBox::toggled, this, [](bool keep) {
        settings().setValue(QStringLiteral("keep_folders"), keep);
        settings().sync();
    });
    verified_only = new QCheckBox(text("recovery_verified_only"), this);
    verified_only->setObjectName(QStringLiteral("chk_verified_only"));
    verified_only->setToolTip(text("recovery_verified_only_tip"));
    verified_only->hide();  // shown with a deep scan's results
    connect(verified_only, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            untick_unverified();
        }
        apply_filter();
    });
    filter = new QLineEdit(this);
    filter->setObjectName(QStringLiteral("le_filter"));
    filter->setPlaceholderText(text("recovery_filter"));
    filter->setClearButtonEnabled(true);
    ticked = new QLabel(this);
    ticked->setObjectName(QStringLiteral("lbl_ticked"));

    // Beyond the design's page: the open folder's files as a grid of thumbnails, made from
    // the bytes a restore would write.
    thumbs = new thumb_loader_c([this](const recovery_item_s& item,
                                       restore_sink_c* sink) { return restore_into(item, sink); },
                                thumb_loader_c::default_cache_bytes, this);
    grid = new thumb_view_c(this);
    grid->setObjectName(QStringLiteral("lv_thumbs"));
    grid->setStyleSheet(QStringLiteral("QListView{border: 1px solid #8bb8fe;}"));
    thumb_model = new thumb_model_c(&file_list, thumbs, this);
    grid->set_thumb_model(thumb_model);
    grid->hide();
    new wrapping_tooltips_c(grid);
    grid_toggle = new QToolButton(this);
    grid_toggle->setObjectName(QStringLiteral("btn_thumbs"));
    grid_toggle->setText(text("recovery_view_thumbs"));
    connect(grid_toggle, &QToolButton::clicked, this, [this] { show_grid(!grid_shown); });
    connect(thumb_model, &thumb_model_c::ticks_changed, this, [this] {
        table->viewport()->update();
        on_file_ticks_changed();
    });

    connect(&session.fat_engine(), &QThread::finished, this,
            &recovery_window_c::on_thread_finished);
    connect(&session.ntfs_engine(), &QThread::finished, this,
            &recovery_window_c::on_thread_finished);
    connect(&session.exfat_engine(), &QThread::finished, this,
            &recovery_window_c::on_thread_finished);
    connect(&session.ext4_engine(), &QThread::finished, this,
            &recovery_window_c::on_thread_finished);
    connect(&session.raw_engine(), &QThread::finished, this,
            &recovery_window_c::on_thread_finished);
    connect(table, &QTableView::clicked, this, &recovery_window_c::on_list_clicked);
    connect(form->btn_recovery, &QPushButton::clicked, this,
            &recovery_window_c::on_recovery_clicked);
    connect(form->btn_pause, &QPushButton::clicked, this, &recovery_window_c::on_pause_clicked);
    connect(form->btn_stop, &QPushButton::clicked, this, &recovery_window_c::on_stop_clicked);
    connect(form->btn_filter, &QPushButton::clicked, this,
            &recovery_window_c::on_save_result_clicked);
    connect(form->btn_back, &QPushButton::clicked, this, &recovery_window_c::back_clicked);
    connect(&timer, &QTimer::timeout, this, &recovery_window_c::on_timer);
    connect(header, &MyHeaderView::check_all, this, &recovery_window_c::on_check_all);
    connect(header, &MyHeaderView::sort_column, this, &recovery_window_c::on_sort_column);
    connect(filter, &QLineEdit::textChanged, this, &recovery_window_c::on_filter_changed);
    timer.start(200);

    progress = new progress_bar_c(this);
    progress->init_bar(QStringLiteral(":/images/partition_search/loding_on.png"),
                       QColor(226, 240, 253));
    form->btn_filter->hide();
    form->tv_dirtree->setAccessibleName(text("a11y_folders"));
    table->setAccessibleName(text("a11y_files"));
    grid->setAccessibleName(text("a11y_thumbs"));
    filter->setAccessibleName(text("recovery_filter"));
    install_focus_frames(this);
}

void recovery_window_c::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::LanguageChange || !grid) {
        return;
    }
    form->btn_recovery->setText(text("btn_recovery"));
    form->btn_back->setText(text("btn_back"));
    form->btn_stop->setText(text("btn_stop"));
    form->btn_filter->setText(text("btn_save_result"));
    const char* pause_key = "btn_start";
    if (session.scanning()) {
        pause_key = session.current()->get_pause() != 0 ? "btn_resume" : "btn_pause";
    }
    form->btn_pause->setText(text(pause_key));
    keep_folders->setText(text("recovery_keep_folders"));
    verified_only->setText(text("recovery_verified_only"));
    verified_only->setToolTip(text("recovery_verified_only_tip"));
    filter->setPlaceholderText(text("recovery_filter"));
    grid_toggle->setText(text(grid_shown ? "recovery_view_table" : "recovery_view_thumbs"));
    form->tv_dirtree->setAccessibleName(text("a11y_folders"));
    table->setAccessibleName(text("a11y_files"));
    grid->setAccessibleName(text("a11y_thumbs"));
    filter->setAccessibleName(text("recovery_filter"));
    update_ticked_label();
    QResizeEvent same(size(), size());
    resizeEvent(&same);  // the tick box and the toggle take their new texts' widths
    update();
}

recovery_window_c::~recovery_window_c() {
    if (worker) {
        worker->stop_word = 1;
        worker->wait();
    }
    wait_preview();
    stop_metadata();
    thumbs->stop();  // its reads go through the engines, which end with this page
    if (session.scanning()) {
        session.current()->set_stop(stop_abort);
        session.current()->wait();
    }
    scanning = false;
}

int recovery_window_c::warning_box(const char* key, int buttons) {
    message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), text(key),
                      QMessageBox::StandardButtons(buttons), this);
    return box.exec();
}

bool recovery_window_c::restoration_running() const {
    return worker && worker->isRunning();
}

void recovery_window_c::show_scan_buttons() {
    form->btn_pause->setText(text("btn_pause"));
    form->btn_pause->show();
    form->btn_stop->show();
}

void recovery_window_c::set_tree_model(TreeModel* model) {
    TreeModel* old = tree_model;
    QItemSelectionModel* old_selection = form->tv_dirtree->selectionModel();
    tree_model = model;
    tree_model->setParent(this);
    open_node = nullptr;
    form->tv_dirtree->setModel(tree_model);
    delete old_selection;
    delete old;
    // The table shows the highlighted folder, however it became highlighted: a click on its
    // name, the keyboard, or a click on its tick box.
    connect(form->tv_dirtree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { open_tree_folder(current); });
    connect(tree_model, &TreeModel::ticks_changed, this, &recovery_window_c::on_tree_ticks_changed);
    // Only a deep scan's files carry a check mark; a new tree starts with every file shown.
    if (verified_only) {  // the constructor's first, empty tree comes before the box
        verified_only->setChecked(false);
        verified_only->setVisible(session.engine_kind() == engine_signature);
    }
    update_ticked_label();
}

void recovery_window_c::untick_unverified() {
    if (!tree_model) {
        return;
    }
    std::vector<recovery_item_s> files;
    std::vector<folder_node*> stack{tree_model->root()};
    while (!stack.empty()) {
        folder_node* node = stack.back();
        stack.pop_back();
        for (const auto& child : node->children) {
            stack.push_back(child.get());
        }
        if (node->own == own_ticks_e::none || node->own_files == 0) {
            continue;
        }
        fill_file_list(files, session.current(), session.engine_kind(), node->folder_ref);
        TreeModel::give_file_ticks(node, files);
        bool changed = false;
        for (recovery_item_s& file : files) {
            changed = changed || (file.checked && file.unverified);
            file.checked = file.checked && !file.unverified;
        }
        if (changed) {
            tree_model->take_file_ticks(node, files);
        }
    }
    if (open_node) {
        TreeModel::give_file_ticks(open_node, file_list);
    }
    table->viewport()->update();
    grid->viewport()->update();
    form->tv_dirtree->viewport()->update();
    update_ticked_label();
}

void recovery_window_c::reset_tree() {
    set_tree_model(new TreeModel(this));
}

void recovery_window_c::set_table_model() {
    recovery_model_c* old = table_model;
    table_model = new recovery_model_c(&file_list, this);
    table->setModel(table_model);
    delete old;
    if (thumb_model) {
        thumb_model->rows_changed();
    }
    fit_columns();
    apply_filter();
}

void recovery_window_c::hide_row(int row, bool hidden) {
    table->setRowHidden(row, hidden);
    if (grid) {
        grid->setRowHidden(row, hidden);
    }
}

void recovery_window_c::show_grid(bool shown) {
    grid_shown = shown;
    grid->setVisible(shown);
    table->setVisible(!shown);
    grid_toggle->setText(text(shown ? "recovery_view_table" : "recovery_view_thumbs"));
    QResizeEvent same(size(), size());
    resizeEvent(&same);  // the grid takes the preview's place as well
    if (shown) {
        grid->request_now();
    }
}

void recovery_window_c::stop_thumbnails() {
    // Before the engines' results change: no read of the old results may still run.
    thumbs->stop();
}

void recovery_window_c::apply_filter() {
    const QString pattern = filter ? filter->text().trimmed() : QString();
    const int rows = static_cast<int>(file_list.size());
    const bool checked_only = verified_only && verified_only->isChecked();
    if (pattern.isEmpty() && !checked_only) {
        for (int row = 0; row < rows; ++row) {
            if (table->isRowHidden(row)) {
                hide_row(row, false);
            }
        }
        return;
    }
    // A plain word matches names that contain it; with * or ? it is a pattern for the name.
    const bool wildcard = pattern.contains(QLatin1Char('*')) || pattern.contains(QLatin1Char('?'));
    const QRegularExpression match(wildcard
                                       ? QRegularExpression::wildcardToRegularExpression(pattern)
                                       : QRegularExpression::escape(pattern),
                                   QRegularExpression::CaseInsensitiveOption);
    for (int row = 0; row < rows; ++row) {
        const recovery_item_s& item = file_list[static_cast<std::size_t>(row)];
        const bool shown = (pattern.isEmpty() || match.match(item.name).hasMatch()) &&
                           !(checked_only && item.unverified);
        hide_row(row, !shown);
    }
}

bool recovery_window_c::ask_how_to_start(const volume_item_s& target, bool deep,
                                         scan_start_s* start) {
    start->how = deep_continue_e::start_again;
    if (choose_engine(target, deep) == engine_signature &&
        pending_deep_scan(target, &start->checkpoint)) {
        // The last deep scan of this volume ended early: go on from where it stopped?
        start->how = ask_continue_deep_scan(this, target, start->checkpoint);
    }
    return start->how != deep_continue_e::cancel;
}

void recovery_window_c::clear_results() {
    wait_preview();
    stop_thumbnails();
    reset_tree();
    paused_view.reset();
    file_list.clear();
    set_table_model();
    preview_shown = false;
    restore_shown = false;  // the last restoration's summary was about these results
    loaded_info.clear();
}

int recovery_window_c::start_scan(const scan_start_s& start) {
    engine_thread_running = true;
    const int started = start.how == deep_continue_e::continue_scan
                            ? session.continue_deep_scan(volume, start.checkpoint)
                            : session.start(volume, deep_scan);
    if (started != 0) {
        engine_thread_running = false;
        return -1;
    }
    scanning = true;
    saved = false;
    stopped = false;
    left = false;
    loaded_info.clear();
    timer.start(200);
    movie->setPaused(false);
    movie->start();
    update_ticked_label();
    return 0;
}

int recovery_window_c::scan_volume(const volume_item_s& target, bool deep) {
    if (scanning || session.scanning() || restoration_running()) {
        return -1;
    }
    if (choose_engine(target, deep) == engine_none) {
        return -1;  // the file system is not one an engine reads; nothing changes
    }
    // Every question before anything is cleared: Cancel leaves the page as it was.
    scan_start_s start;
    if (!ask_how_to_start(target, deep, &start)) {
        return -1;
    }
    clear_results();
    show_scan_buttons();
    deep_scan = deep;
    form->btn_filter->hide();
    volume = target;
    return start_scan(start);
}

void recovery_window_c::restart_scan(bool deep) {
    if (scanning || session.scanning() || restoration_running()) {
        return;
    }
    scan_start_s start;
    if (!ask_how_to_start(volume, deep, &start)) {
        return;
    }
    clear_results();
    deep_scan = deep;
    if (start_scan(start) == 0) {
        show_scan_buttons();
        form->btn_filter->hide();
    }
    update();
}

bool recovery_window_c::may_drop_results(const char* running_key) {
    const char* key = nullptr;
    if (scanning) {
        key = running_key;
    } else if (has_unsaved_results()) {
        key = "unsaved_results_warning";
    }
    if (!key) {
        return true;
    }
    message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), text(key),
                      QMessageBox::Yes | QMessageBox::No, window());
    box.setDefaultButton(QMessageBox::No);  // Enter never loses a scan or its results
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void recovery_window_c::on_timer() {
    progress->value = bar_value();
    update();
}

double recovery_window_c::bar_value() const {
    if (worker && (worker->isRunning() || restore_shown)) {
        return restore_fraction();
    }
    if (session.scanning()) {
        return session.current()->get_progress();
    }
    if (meta_thread) {
        return metadata_fraction();
    }
    if (stopped) {
        return stopped_at;
    }
    return session.has_results() ? 1.0 : progress->value;
}

void recovery_window_c::on_thread_finished() {
    if (!scanning) {
        return;  // a finished() of an engine this page did not start, or already handled
    }
    session.on_thread_finished();
    if (session.scanning()) {
        return;  // not the current engine's end
    }
    finish_scan(true);
}

void recovery_window_c::finish_scan(bool ask) {
    if (paused_view) {
        drop_found_so_far();  // stopped while paused: the scan's own results replace the copy
    }
    engine_thread_running = false;  // the engine thread has ended
    form->btn_pause->setText(text("btn_start"));
    form->btn_stop->hide();
    const int stop = session.current()->get_stop();
    stopped = stop == stop_keep;
    stopped_at = session.progress_at_end();
    restore_shown = false;
    bool found = false;
    if (session.has_results()) {
        std::unique_ptr<TreeModel> built = build_tree(session.current(), session.engine_kind());
        if (built) {
            set_tree_model(built.release());
            form->tv_dirtree->expandToDepth(0);
            found = true;
        } else {
            reset_tree();
        }
        if (session.engine_kind() == engine_signature) {
            form->btn_filter->show();
        }
    }
    scanning = false;
    movie->stop();
    progress->value = bar_value();
    update_ticked_label();
    update();
    if (!ask || found || stop == stop_abort || left || !session.has_results() || !isVisible()) {
        return;  // a scan that was left, or is being left, asks nothing
    }
    if (stop != stop_keep && !deep_scan) {
        if (warning_box("deep_scan_query", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::Yes) {
            restart_scan(true);
        }
        return;
    }
    // Nothing found, and no deeper scan to offer: say so rather than show an empty page. A
    // stopped scan says it on its status line ("stopped at", no files found).
    if (!stopped && session.current()->get_error_text().isEmpty()) {
        warning_box("recovery_nothing_found", QMessageBox::Ok);
    }
}

void recovery_window_c::on_stop_clicked() {
    session.stop();
    form->btn_stop->hide();
}

void recovery_window_c::on_pause_clicked() {
    if (session.scanning()) {
        if (paused_view) {
            drop_found_so_far();  // before the scan writes its results again
        }
        const int pause = session.toggle_pause();
        form->btn_pause->setText(text(pause != 0 ? "btn_resume" : "btn_pause"));
        movie->setPaused(pause != 0);  // the animation says the scan is working
        if (pause != 0) {
            show_found_so_far();
        }
        return;
    }
    if (restoration_running()) {
        warning_box("recovery_busy", QMessageBox::Ok);
        return;
    }
    // Start again: results that no scan file holds are asked for first, and the results
    // stay until every question has been answered.
    if (!may_drop_results("back_warning")) {
        return;
    }
    restart_scan(deep_scan);
}

const recovery_base_c* recovery_window_c::listed_engine() const {
    if (paused_view) {
        return paused_view.get();
    }
    return session.has_results() && !session.scanning() ? session.current() : nullptr;
}

void recovery_window_c::show_found_so_far() {
    // A paused deep scan lists what it has found so far, from a copy of its records: the
    // scan's own are the scanning thread's until it ends.
    if (session.engine_kind() != engine_signature) {
        return;
    }
    scan_checkpoint_s found;
    session.raw_engine().found_so_far(&found);
    if (found.records.empty()) {
        return;
    }
    paused_view = std::make_unique<raw_recovery_c>();
    paused_view->continue_from(found);
    std::unique_ptr<TreeModel> built = build_tree(paused_view.get(), engine_signature);
    if (!built) {
        paused_view.reset();
        return;
    }
    set_tree_model(built.release());
    form->tv_dirtree->expandToDepth(0);
    update_ticked_label();
}

void recovery_window_c::drop_found_so_far() {
    wait_preview();
    stop_thumbnails();
    reset_tree();
    file_list.clear();
    set_table_model();
    preview_shown = false;
    paused_view.reset();
}

void recovery_window_c::on_tree_clicked(const QModelIndex& index) {
    open_tree_folder(index);
}

void recovery_window_c::open_tree_folder(const QModelIndex& index) {
    const recovery_base_c* listed = listed_engine();
    if (!index.isValid() || !listed) {
        return;
    }
    folder_node* node = TreeModel::node_of(index);
    if (node == open_node) {
        return;
    }
    preview_shown = false;
    fill_file_list(file_list, listed, session.engine_kind(), node->folder_ref);
    open_node = node;
    TreeModel::give_file_ticks(node, file_list);
    sort_files();
    set_table_model();
    update_ticked_label();
    update();
}

void recovery_window_c::sort_files() {
    if (sort_column > 0) {
        recovery_model_c::sort_rows(&file_list, sort_column, sort_ascending);
    }
}

void recovery_window_c::on_file_ticks_changed() {
    if (open_node) {
        tree_model->take_file_ticks(open_node, file_list);
    }
    update_ticked_label();
}

void recovery_window_c::on_tree_ticks_changed() {
    if (verified_only && verified_only->isChecked()) {
        untick_unverified();  // a folder's tick takes only the files that are shown
        return;
    }
    if (open_node) {
        TreeModel::give_file_ticks(open_node, file_list);
        table->viewport()->update();
        grid->viewport()->update();
    }
    form->tv_dirtree->viewport()->update();
    update_ticked_label();
}

void recovery_window_c::update_ticked_label() {
    if (!ticked || !header) {
        return;
    }
    // The header's box shows whether every listed file is ticked, some, or none.
    std::size_t ticked_files = 0;
    for (const recovery_item_s& file : file_list) {
        ticked_files += file.checked ? 1 : 0;
    }
    header->tick_state = ticked_files == 0                  ? Qt::Unchecked
                         : ticked_files == file_list.size() ? Qt::Checked
                                                            : Qt::PartiallyChecked;
    header->viewport()->update();
    const tick_count_s total = tree_model ? tree_model->ticked_totals() : tick_count_s{};
    if (total.files == 0) {
        ticked->clear();
        return;
    }
    ticked->setText(plural_text("recovery_ticked", static_cast<qint64>(total.files))
                        .arg(format_size(total.bytes)));
}

void recovery_window_c::on_check_all(bool value) {
    for (std::size_t row = 0; row < file_list.size(); ++row) {
        // The tick-all box ticks what the filter shows.
        if (!table->isRowHidden(static_cast<int>(row))) {
            file_list[row].checked = value;
        }
    }
    set_table_model();
    on_file_ticks_changed();
}

void recovery_window_c::on_sort_column(int column) {
    if (column < 1 || column > 4) {
        return;
    }
    // The first click on a column sorts ascending, the next descending; the order holds for
    // every folder opened after it.
    sort_ascending = column == sort_column ? !sort_ascending : true;
    sort_column = column;
    header->sorted_section = sort_column;
    header->sorted_ascending = sort_ascending;
    header->viewport()->update();
    recovery_model_c::sort_rows(&file_list, sort_column, sort_ascending);
    table_model->rows_moved();
    thumb_model->rows_changed();
    apply_filter();
}

void recovery_window_c::on_filter_changed(const QString& pattern) {
    (void)pattern;
    apply_filter();
}

void recovery_window_c::leave_page() {
    if (worker && worker->isRunning()) {
        // The engines are about to be reset: let the current file finish, write no more.
        worker->stop_word = 1;
        worker->wait();
    }
    wait_preview();
    stop_thumbnails();
    stop_metadata();  // a scan file being loaded is dropped with the page
    reset_tree();
    paused_view.reset();
    file_list.clear();
    set_table_model();
    preview_shown = false;
    if (!scanning) {
        session.abort();  // drops the last results
    }
    progress->value = 0;
    left = true;  // an engine that ends after this (it may not have seen the abort) asks nothing
    stopped = false;
    restore_shown = false;
    loaded_info.clear();
    saved = false;
    timer.stop();
}

bool recovery_window_c::has_unsaved_results() const {
    // Only what Save could have kept: a deep scan's results. A quick scan has no scan file
    // and is made again in moments.
    return !scanning && session.has_results() && session.engine_kind() == engine_signature &&
           !saved && tree_model && tree_model->found_totals().files > 0;
}

void recovery_window_c::on_save_result_clicked() {
    if (session.scanning() || !session.has_results() || session.raw_engine().records().empty()) {
        warning_box("recovery_save_empty", QMessageBox::Ok);
        return;
    }
    QFileDialog dialog(this, text("recovery_save_title"), QDir::currentPath(), scan_file_filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("sav"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    QString path = dialog.selectedFiles().constFirst();
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".sav");  // the resume dialog lists scan files by their suffix
    }
    if (session.raw_engine().write_scan_file(path) != 0) {
        warning_box("recovery_save_failed", QMessageBox::Ok);
        return;
    }
    saved = true;
}
