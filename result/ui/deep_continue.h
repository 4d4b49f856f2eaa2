#pragma once
// The offer to continue an interrupted deep scan: when the user starts a deep scan of a
// volume whose last deep scan ended early (a crash, a kill, a stop) and left its checkpoint,
// and the volume is still the one that scan read, the scan page asks whether to go on where
// it stopped (the default) or to start again. GUI thread.

#include "device/volume_list.h"
#include "engine/raw/scan_checkpoint.h"

class QWidget;

// The checkpoint kept for the volume's last deep scan when there is one, it is of this
// volume's device, and the volume's size and first and last bytes are still those it read.
bool pending_deep_scan(const volume_item_s& volume, scan_checkpoint_s* checkpoint);

enum class deep_continue_e { continue_scan, start_again, cancel };

// Asks the user; Enter continues, Escape cancels.
deep_continue_e ask_continue_deep_scan(QWidget* parent, const volume_item_s& volume,
                                       const scan_checkpoint_s& checkpoint);
