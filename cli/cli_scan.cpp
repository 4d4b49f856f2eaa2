// orvane scan and orvane restore.
#include "cli_commands.h"

int command_scan(const cli_options_s&) {
    print_error(QStringLiteral("scan is not available yet"));
    return exit_failed;
}

int command_restore(const cli_options_s&) {
    print_error(QStringLiteral("restore is not available yet"));
    return exit_failed;
}
