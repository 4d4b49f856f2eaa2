#include "safe_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int max_links = 40;  // as the kernel follows at most 40 links in one path
constexpr int temp_tries = 100;

std::string error_phrase(int error) {
    return std::strerror(error);
}

void split_into(const std::string& path, std::deque<std::string>* parts, bool at_front) {
    std::vector<std::string> found;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at) {
            found.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    if (at_front) {
        parts->insert(parts->begin(), found.begin(), found.end());
    } else {
        parts->insert(parts->end(), found.begin(), found.end());
    }
}

int open_start(bool absolute) {
    return ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool private_outputs() {
    return ::geteuid() == 0;
}

mode_t new_file_mode() {
    return private_outputs() ? 0600 : 0666;
}

mode_t new_folder_mode() {
    return private_outputs() ? 0700 : 0777;
}

int open_folder(const std::string& path, bool create, std::string* why) {
    if (path.empty()) {
        *why = "no folder was given";
        return -1;
    }
    std::deque<std::string> left;
    split_into(path, &left, false);
    int fd = open_start(path[0] == '/');
    int links = 0;
    const auto fail = [&](const std::string& text) {
        if (fd >= 0) {
            ::close(fd);
        }
        *why = text;
        return -1;
    };
    if (fd < 0) {
        return fail(error_phrase(errno));
    }
    while (!left.empty()) {
        const std::string name = left.front();
        left.pop_front();
        if (name == ".") {
            continue;
        }
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !create) {
                return fail("'" + name + "': " + error_phrase(errno));
            }
            if (::mkdirat(fd, name.c_str(), new_folder_mode()) != 0 && errno != EEXIST) {
                return fail("cannot create the folder '" + name + "': " + error_phrase(errno));
            }
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                return fail("'" + name + "': " + error_phrase(errno));
            }
        }
        if (S_ISLNK(st.st_mode)) {
            // A link is the word of whoever made it: only root's and the caller's are taken.
            if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
                return fail("'" + name + "' is a symbolic link that another user owns");
            }
            if (++links > max_links) {
                return fail("too many symbolic links on the way");
            }
            std::vector<char> target(static_cast<std::size_t>(PATH_MAX) + 1);
            const ssize_t n = ::readlinkat(fd, name.c_str(), target.data(), target.size() - 1);
            if (n <= 0) {
                return fail("'" + name + "': " + error_phrase(n < 0 ? errno : ENOENT));
            }
            const std::string to(target.data(), static_cast<std::size_t>(n));
            split_into(to, &left, true);
            if (to[0] == '/') {
                ::close(fd);
                fd = open_start(true);
                if (fd < 0) {
                    return fail(error_phrase(errno));
                }
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            return fail("'" + name + "' is not a folder");
        }
        const int next = ::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened {};
        if (next < 0 || ::fstat(next, &opened) != 0 || !S_ISDIR(opened.st_mode) ||
            opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            const int error = next < 0 ? errno : EAGAIN;
            if (next >= 0) {
                ::close(next);
            }
            return fail("'" + name + "' changed while it was opened (" + error_phrase(error) + ")");
        }
        ::close(fd);
        fd = next;
    }
    const int folder = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return fail(error_phrase(errno));
    }
    ::close(fd);
    return folder;
}

int open_parent(const std::string& path, bool create, std::string* name, std::string* why) {
    const std::size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name->empty() || *name == "." || *name == "..") {
        *why = "'" + path + "' does not name a file";
        return -1;
    }
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    return open_folder(folder, create, why);
}

int create_file(int dir, const std::string& name, int flags) {
    return ::openat(dir, name.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    new_file_mode());
}

int open_continued(int dir, const std::string& name, int flags, std::string* why) {
    const int fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = error == ELOOP ? "'" + name + "' is a symbolic link"
                              : "'" + name + "': " + error_phrase(error);
        errno = error;
        return -1;
    }
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        *why = "'" + name + "': " + error_phrase(error);
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
        *why = "'" + name + "' is not a regular file";
    } else if (st.st_uid != ::geteuid()) {
        error = EPERM;
        *why = "'" + name + "' belongs to another user";
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int open_append(int dir, const std::string& name, std::string* why) {
    for (int tries = 0; tries < 2; ++tries) {
        const int fd = open_continued(dir, name, O_WRONLY | O_APPEND, why);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        const int made = create_file(dir, name, O_WRONLY | O_APPEND);
        if (made >= 0 || errno != EEXIST) {
            if (made < 0) {
                *why = "'" + name + "': " + error_phrase(errno);
            }
            return made;
        }
    }
    return -1;
}

bool replace_file(int dir, const std::string& name, const void* data, std::size_t len,
                  std::string* why) {
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int i = 0; i < temp_tries && fd < 0; ++i) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%d-%u.tmp", static_cast<int>(::getpid()),
                      counter.fetch_add(1, std::memory_order_relaxed));
        temp = "." + name.substr(0, 200) + suffix;
        fd = create_file(dir, temp, O_WRONLY);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        *why = "cannot create a file beside '" + name + "': " + error_phrase(errno);
        return false;
    }
    const auto* from = static_cast<const char*>(data);
    std::size_t left = len;
    int error = 0;
    while (left > 0 && error == 0) {
        const ssize_t n = ::write(fd, from, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        from += n;
        left -= static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlinkat(dir, temp.c_str(), 0);
        *why = "cannot write '" + name + "': " + error_phrase(error);
        return false;
    }
    ::fsync(dir);  // the new name on disk too
    return true;
}

bool replace_file_at(const std::string& path, bool create_folders, const void* data,
                     std::size_t len, std::string* why) {
    std::string name;
    const int dir = open_parent(path, create_folders, &name, why);
    if (dir < 0) {
        return false;
    }
    const bool done = replace_file(dir, name, data, len, why);
    ::close(dir);
    return done;
}

}  // namespace platform
