#pragma once
// More screenshots (orvane_screenshots): the scan page maximised with a folder ticked, the
// restoration's summary, a stopped deep scan and the repair question. Each writes the window
// (with the box over it, where there is one) to path; false when any step fails.

#include <QString>

class main_window_c;
struct drive_item_s;

bool shoot_scan_maximised(main_window_c* window, const QString& fat_image, const QString& path);
bool shoot_restore_summary(main_window_c* window, const QString& fat_image, const QString& path);
// A deep scan's restore of every file it found, with the files not checked whole counted.
bool shoot_deep_restore_summary(main_window_c* window, const QString& raw_image,
                                const QString& path);
bool shoot_stopped_scan(main_window_c* window, const QString& raw_image, const QString& path);
bool shoot_repair_question(main_window_c* window, const QString& path);
// A deep scan paused a third of the way, what it found so far listed and a folder open.
bool shoot_paused_scan(main_window_c* window, const QString& raw_image, const QString& path);
// The repair's refusal on a drive whose file system starts at sector 0 (no table).
bool shoot_repair_refusal(main_window_c* window, const drive_item_s& drive, const QString& path);
