#pragma once
// What the two privileged helpers share: refusing with a logged reason, checking that
// standard output is the program's socket, and sending a descriptor over it.
//
// Free of Qt and of the program's libraries but the device checks: the helpers run as root.

#include <string>

namespace helper {

constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

// Opens the system log under the helper's name; `what` is "read" or "write".
void start_log(const char* name);
// Who asked: pkexec's PKEXEC_UID, or "?".
std::string caller();
// Logs the refusal to the system log, prints it on standard error, returns exit_refused.
int refuse(const std::string& device, const std::string& message);
// Logs one line at notice level.
void note(const std::string& message);

// Standard output is a Unix socket (the program's end of a socket pair).
bool output_is_socket();
// Sends one descriptor over the socket on standard output; 0 or -1.
int send_descriptor(int fd);

}  // namespace helper
