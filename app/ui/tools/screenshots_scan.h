#pragma once
// The scan page's screenshots (orvane_screenshots).

#include <QString>

class main_window_c;

// Scans an image (a FAT volume's partition, or the whole image for a deep scan) on the scan
// page, opens a folder (a quick scan's: folder, "/docs" when empty), previews a file and
// writes the window to path; false when any step fails.
bool shoot_scan_page(main_window_c* window, const QString& image, int partition, bool deep,
                     const QString& path, const QString& folder = QString());
// Opens image as the only disk image and deep-scans it whole on the scan page, to the end;
// false when any step fails.
bool deep_scan_whole_image(main_window_c* window, const QString& image);
// Deep-scans a camera card's image, opens its JPEG folder as the grid of thumbnails, waits
// for them and writes the window to path.
bool shoot_thumbnail_grid(main_window_c* window, const QString& image, const QString& path);
