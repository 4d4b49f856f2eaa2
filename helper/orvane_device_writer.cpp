// orvane-device-writer: writes the sectors of a partition-table repair to one whole disk
// for the desktop program, after checking that the disk is the one the program read.
//
//     pkexec /usr/libexec/orvane-device-writer write /dev/sdb
//
// Standard output must be one end of a Unix socket pair. Over it the program sends one
// request (device/platform/sector_write.h): the disk's identity as it read it (device
// number, disk sequence number, size, hash of sector 0) and each 512-byte sector to write
// with the hash of the sector it replaces. The writer accepts only the literal /dev/NAME of
// a listed whole disk (never a partition, a link or a file), opens it exclusively (O_EXCL:
// refused while a partition is mounted or held), checks the identity and every old sector
// on that descriptor, writes, syncs, reads back, and answers one line on the socket. No
// descriptor ever leaves this process. Every write and every refusal goes to the system log.
//
// Exit codes: 0 written, 1 refused or failed (the reason on standard error and in the
// answer), 2 usage error.

#include "device/platform/device_node.h"
#include "device/platform/sector_write.h"
#include "helper_support.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-device-writer write /dev/NAME\n"
                 "Reads one sector-write request from the Unix socket on standard output,\n"
                 "checks it against the whole disk NAME and writes it. Started by the\n"
                 "desktop program through pkexec for the boot record repair.\n");
    return helper::exit_usage;
}

// The request, up to its "end" line or the end of the stream; bounded.
bool read_request(std::string* text) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDOUT_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        text->append(buffer, static_cast<std::size_t>(n));
        if (text->size() > platform::max_request_bytes) {
            return false;
        }
        if (text->size() >= 5 && text->compare(text->size() - 5, 5, "\nend\n") == 0) {
            return true;
        }
    }
}

void answer(const platform::write_result_s& result) {
    const std::string line = platform::encode_result(result);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n =
            ::send(STDOUT_FILENO, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

int refuse_with_answer(const std::string& device, platform::write_status_e status,
                       const std::string& message) {
    platform::write_result_s result;
    result.status = status;
    result.message = message;
    answer(result);
    return helper::refuse(device, message);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "write") {
        return usage();
    }
    helper::start_log("orvane-device-writer");
    const std::string device = argv[2];
    if (!helper::output_is_socket()) {
        return helper::refuse(device, "standard output is not a Unix socket; nothing was written");
    }
    struct stat node {};
    const std::string why =
        platform::check_device_node(device, platform::node_scope_e::whole_disk, &node);
    if (!why.empty()) {
        return refuse_with_answer(device, platform::write_status_e::refused,
                                  "'" + device + "' " + why + "; nothing was written");
    }
    std::string text;
    platform::write_request_s request;
    std::string error;
    if (!read_request(&text) || !platform::decode_request(text, &request, &error)) {
        return refuse_with_answer(
            device, platform::write_status_e::refused,
            (error.empty() ? "no complete request came" : error) + "; nothing was written");
    }
    if (request.device != device) {
        return refuse_with_answer(
            device, platform::write_status_e::refused,
            "the request names another device than '" + device + "'; nothing was written");
    }
    const platform::write_result_s result =
        platform::apply_sector_writes(request, platform::write_target_e::whole_disk);
    answer(result);
    if (result.status != platform::write_status_e::written) {
        return helper::refuse(device, result.message);
    }
    std::string sectors;
    for (const platform::sector_write_s& w : request.writes) {
        sectors += (sectors.empty() ? "" : ",") + std::to_string(w.lba);
    }
    helper::note("wrote sectors " + sectors + " of " + device + " for uid " + helper::caller());
    return 0;
}
