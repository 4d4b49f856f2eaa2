#pragma once
// The imaging dialog's screenshot (orvane_screenshots): "Save drive as image..." over the
// drive page.

#include <QString>

class main_window_c;

// Opens the imaging dialog for the drive page's first drive, shows one state of a copy of a
// failing disk in it (a fixed state: the copy of a healthy demo image ends too fast to be
// caught) and writes the drive page with the dialog over it to path; false on failure.
bool shoot_image_dialog(main_window_c* window, const QString& path);
