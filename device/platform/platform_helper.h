#pragma once
// The desktop program's privileged helpers: opening a disk for reading, writing the sectors
// of a repair.
//
// When the user may not open a block device, the device layer starts orvane-device-helper
// through pkexec; polkit asks for the administrator's password (kept a few minutes) and
// the helper passes a read-only descriptor back over a Unix socket. The descriptor is kept
// for the rest of the run, so each disk asks once. A repair sends its request to
// orvane-device-writer (its own polkit action, asked every time), which writes itself and
// answers: no writable descriptor ever comes to the program. Only the desktop program turns
// this on: the orvane tool opens devices directly (root, the 'disk' group, or images).
// Callable from any thread; a pkexec run blocks the calling thread until the user answered.

#include "sector_write.h"

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

// The command that runs a helper: ORVANE_DEVICE_HELPER (read) or ORVANE_DEVICE_WRITER
// (write) when set, run directly without pkexec; else pkexec with the installed helper
// (<prefix>/libexec/orvane-device-helper or orvane-device-writer) or the one beside the
// executable in a build tree. Empty, with *error set, when neither pkexec nor the helper
// is there.
QStringList helper_command(helper_mode_e mode, const QString& device, QString* error);

// A program of ours that the program starts (a helper, the metadata reader): the installed
// one (<prefix>/libexec/NAME) or the one beside the executable in a build tree; empty when
// neither is there.
QString find_program(const QString& name);

// Opens the block device read-only through the helper; returns a descriptor of this
// process's own (close-on-exec, read-only) or -1 with *error set. The descriptor is checked
// to be the block device the path names, opened read-only; the first one of each device is
// kept for the rest of the run and later calls get a copy of it.
int open_through_helper(const QString& device, QString* error);

// While one lives on a thread, nothing that thread does starts the helper: a disk the
// helper opened before is still read (its kept descriptor), any other disk that needs the
// helper is not opened. Listing drives and volumes and reading their free space use it, so
// that the password is asked when the user opens a disk, not for every disk at start-up.
class helper_prompts_off_c {
  public:
    helper_prompts_off_c();
    ~helper_prompts_off_c();
    helper_prompts_off_c(const helper_prompts_off_c&) = delete;
    helper_prompts_off_c& operator=(const helper_prompts_off_c&) = delete;

  private:
    bool was_;
};
// True when the calling thread may start the helper.
bool helper_prompts_allowed();

// Closes the descriptors kept for the run (tests).
void forget_kept_descriptors();

// Sends the request to orvane-device-writer and returns its answer.
write_result_s write_through_helper(const write_request_s& request);

}  // namespace platform
