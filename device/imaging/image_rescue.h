#pragma once
// The careful copy of a drive that may be failing into a raw image file.
//
// Pass 1 reads large blocks in order and, where a read fails, skips ahead (further after
// each failure in a row) so that the readable bulk is saved first. Pass 2 reads the skipped
// areas and the failed large blocks in small blocks. Pass 3 reads the small blocks that
// failed sector by sector, and pass 4 tries the bad sectors again a bounded number of times. Bad
// sectors are written as zeros. The map (rescue_map.h) is saved atomically every few seconds, after
// each pass and when the copy stops; given the same map, a later run reads only what is not copied
// yet.
//
// The source is any drive opened read-only (platform::open_drive); the output is a file,
// never a device, and never on the source drive. run() works on the calling thread and
// polls the stop and pause words between reads.

#include "device/imaging/rescue_map.h"
#include "device/platform/platform_device.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/types.h>

struct rescue_progress_s {
    std::uint64_t size = 0;
    std::uint64_t rescued = 0;    // bytes copied, from earlier runs too
    std::uint64_t bad_bytes = 0;  // bytes of bad sectors
    int bad_areas = 0;
    int pass = 1;
    double bytes_per_second = 0;  // this run's reading speed
    double seconds_left = -1;     // -1: not known yet
    bool paused = false;
};

class image_rescue_c {
  public:
    struct settings_s {
        QString map_path;     // empty: no map is kept
        QString source_name;  // the drive's name, recorded in the map
        QString command_line;
        // A map that names no source (GNU ddrescue's, or one of an older version) is taken
        // as this source's on the user's word, and names this source from then on. A map
        // that names another source is refused all the same.
        bool trust_unnamed_map = false;
        std::uint32_t large_read = 1 << 20;
        std::uint32_t small_read = 64 << 10;
        int retries = 2;  // further tries of each bad sector in pass 4
        int save_interval_ms = 5000;
    };
    enum class outcome_e { complete, incomplete, stopped, failed };

    image_rescue_c(platform::device_source_c& source, settings_s settings);
    ~image_rescue_c();
    image_rescue_c(const image_rescue_c&) = delete;
    image_rescue_c& operator=(const image_rescue_c&) = delete;

    // Loads the map when its file exists (the copy continues; only a map of this source, a
    // regular file of the caller's), then opens the output: an existing output is used only
    // with its map and must be a regular file of the caller's, a new one is made (never
    // through a link). The output and the map must be two files. False with *error.
    bool open(const QString& output, QString* error);
    outcome_e run(const std::atomic<int>& stop, const std::atomic<int>* pause,
                  const std::function<void(const rescue_progress_s&)>& progress, QString* error);

    const rescue_map_c& map() const { return map_; }
    bool resumed() const { return resumed_; }
    // open() refused the map only because it names no source: the user may vouch for it
    // (trust_unnamed_map) and try again.
    bool map_names_no_source() const { return map_unnamed_; }

  private:
    bool copy_area(std::uint64_t pos, std::uint64_t len, char failed_status);
    bool pass_large();
    bool pass_small();
    bool pass_sectors();
    bool pass_retry();
    bool read_sector(std::uint64_t pos, std::uint64_t len, int tries);
    bool write_out(std::uint64_t pos, const void* data, std::size_t len);
    bool save_map(char status);
    bool load_map(std::uint64_t size, const source_identity_s& source, QString* error);
    source_identity_s identify_source();
    bool map_names_output() const;
    bool tick();  // progress, pause and periodic saving; false when asked to stop
    bool stopped() const;

    platform::device_source_c& source_;
    settings_s settings_;
    rescue_map_c map_;
    int out_fd_ = -1;
    int map_dir_fd_ = -1;  // the map's folder; the map is replaced by name inside it
    std::string map_name_;
    dev_t out_device_ = 0;
    ino_t out_inode_ = 0;
    bool resumed_ = false;
    bool map_unnamed_ = false;
    bool fresh_output_ = false;  // made by this run: unwritten parts read as zeros
    int pass_ = 1;
    QString error_;
    unsigned char* buffer_ = nullptr;  // large_read bytes, aligned for unbuffered reads
    const std::atomic<int>* stop_ = nullptr;
    const std::atomic<int>* pause_ = nullptr;
    const std::function<void(const rescue_progress_s&)>* progress_ = nullptr;
    std::int64_t started_ms_ = 0;
    std::int64_t paused_ms_ = 0;
    std::int64_t last_save_ms_ = 0;
    std::int64_t last_progress_ms_ = 0;
    std::uint64_t read_this_run_ = 0;
};

// True when the output file (or the folder it would be made in) lies on the source drive:
// on a partition of the source disk or a device built on it, or it is the source image
// file itself.
bool output_on_source(const QString& output, const platform::drive_desc_s& source);
