#pragma once
// Opening a disk through the privileged helper, for a desktop program that runs as the user.
//
// When the user may not open a block device, the device layer starts orvane-device-helper
// through pkexec; polkit asks for the administrator's password (kept a few minutes for
// reading, asked every time for writing) and the helper passes an open descriptor back
// over a Unix socket. Only the desktop program turns this on: the orvane tool opens
// devices directly (root, the 'disk' group, or images). Callable from any thread; a
// pkexec run blocks the calling thread until the user has answered.

#include <QString>
#include <QStringList>

namespace platform {

enum class helper_mode_e { read, write };

// Off by default. The desktop program turns it on before it lists the drives.
void set_device_helper_enabled(bool enabled);
bool device_helper_enabled();

// True when an open that failed with this errno should be retried through the helper: the
// fallback is on, the error is a permission error and the process is not root.
bool helper_applies(int open_errno);

// The command that runs the helper for a device: ORVANE_DEVICE_HELPER when set (run
// directly, without pkexec), else pkexec with the installed helper
// (<prefix>/libexec/orvane-device-helper) or the one beside the executable in a build tree.
// Empty, with *error set, when neither pkexec nor the helper is there.
QStringList helper_command(helper_mode_e mode, const QString& device, QString* error);

// Opens the block device through the helper; returns the descriptor (close-on-exec,
// read-only for read, read-write for write) or -1 with *error set. The descriptor is
// checked to be the block device the path names, in the access mode asked for.
int open_through_helper(const QString& device, helper_mode_e mode, QString* error);

}  // namespace platform
