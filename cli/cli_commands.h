#pragma once
// The orvane tool's commands, over the same core as the program.

#include <QString>
#include <QStringList>

// Parsed command line shared by every command.
struct cli_options_s {
    QString command;
    QStringList images;             // --image FILE, repeatable
    bool json = false;              // --json
    bool deep = false;              // --deep
    int partition = -1;             // --partition N
    QString destination;            // --to DIR
    QString match;                  // --match GLOB
    bool repair = false;            // --repair
    bool yes = false;               // --yes
    QString undo;                   // --undo BACKUP (partitions)
    bool force = false;             // --force (partitions --undo)
    QString save;                   // --save FILE.sav (scan --deep)
    QString from;                   // --from FILE.sav (restore)
    bool skip_overwritten = false;  // --skip-overwritten
    bool verified_only = false;     // --verified-only
    bool continue_scan = false;     // --continue: an interrupted deep scan goes on
    QString map;                    // --map MAPFILE (image)
    bool trust_map = false;         // --trust-map: continue from a map that names no source
    bool trust_scan_file = false;   // --trust-scan-file: load a scan file without identity
    QString owner;                  // --owner USER (restore): the restored tree is theirs
    QStringList positional;
};

// Exit codes.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;
// orvane image: the copy holds zeros for sectors that could not be read, or was stopped
// before the end (run again with the same --map to continue).
constexpr int exit_image_incomplete = 3;
constexpr int exit_image_stopped = 4;
// orvane partitions --repair: the table on the drive holds and nothing was found outside
// its entries; nothing was written.
constexpr int exit_nothing_to_repair = 3;

int command_drives(const cli_options_s& options);
int command_volumes(const cli_options_s& options);
int command_scan(const cli_options_s& options);
int command_restore(const cli_options_s& options);
int command_partitions(const cli_options_s& options);
int command_image(const cli_options_s& options);

// Writes a plain-words message to standard error as "orvane: ...".
void print_error(const QString& message);
