#include "helper_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace helper {
namespace {
const char* log_name = "orvane-device-helper";
}

void start_log(const char* name) {
    log_name = name;
    ::openlog(name, LOG_PID, LOG_AUTHPRIV);
}

std::string caller() {
    const char* uid = std::getenv("PKEXEC_UID");
    return uid ? uid : "?";
}

int refuse(const std::string& device, const std::string& message) {
    ::syslog(LOG_WARNING, "refused %s for uid %s: %s", device.c_str(), caller().c_str(),
             message.c_str());
    std::fprintf(stderr, "%s: %s\n", log_name, message.c_str());
    return exit_refused;
}

void note(const std::string& message) {
    ::syslog(LOG_NOTICE, "%s", message.c_str());
}

bool output_is_socket() {
    struct stat out {};
    return ::fstat(STDOUT_FILENO, &out) == 0 && S_ISSOCK(out.st_mode);
}

int send_descriptor(int fd) {
    char byte = 'F';
    struct iovec data {};
    data.iov_base = &byte;
    data.iov_len = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    ssize_t sent;
    do {
        sent = ::sendmsg(STDOUT_FILENO, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == 1 ? 0 : -1;
}

}  // namespace helper
