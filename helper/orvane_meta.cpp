// orvane-meta: reads what found files say about themselves (dates, titles) for the deep scan,
// away from the process that holds the disk (meta_child.h); with --pictures it decodes the
// desktop program's previews and thumbnails instead.
//
// Standard input and output are one socket to the parent; there is no other descriptor.
// Started as root, it gives up root (to nobody, else to the user who ran sudo or pkexec)
// before it reads a byte of a found file; it bounds its memory, can start no program with
// more rights, and, where the kernel has Landlock, can open no file at all.

#include "engine/raw/file_metadata.h"
#include "engine/raw/meta_child.h"
#include "result/ui/picture_decode.h"

#include <QBuffer>
#include <QImageReader>

#include <grp.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif
#else
constexpr bool address_sanitizer = false;
#endif

// Address space for the readers: the program and its libraries, a copy of the largest part
// a reader takes from a file, and the libraries' own allocations.
constexpr rlim_t address_space = 1024ull * 1024 * 1024;

bool read_all(int fd, void* data, std::size_t n) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got > 0) {
            p += got;
            n -= static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool write_all(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t sent = ::write(fd, p, n);
        if (sent > 0) {
            p += sent;
            n -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// The user to parse as when started as root: nobody, else the one who ran sudo or pkexec.
bool unprivileged_user(uid_t* uid, gid_t* gid) {
    if (const passwd* nobody = ::getpwnam("nobody"); nobody && nobody->pw_uid != 0) {
        *uid = nobody->pw_uid;
        *gid = nobody->pw_gid;
        return *gid != 0;
    }
    for (const char* name : {"SUDO_UID", "PKEXEC_UID"}) {
        const char* text = std::getenv(name);
        if (!text || !*text) {
            continue;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (*end || value == 0 || value > 0x7FFFFFFF) {
            continue;
        }
        const passwd* user = ::getpwuid(static_cast<uid_t>(value));
        if (user && user->pw_gid != 0) {
            *uid = user->pw_uid;
            *gid = user->pw_gid;
            return true;
        }
    }
    return false;
}

bool give_up_root() {
    if (::getuid() != 0 && ::geteuid() != 0) {
        return true;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (!unprivileged_user(&uid, &gid)) {
        return false;
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
        return false;
    }
    return ::setuid(0) != 0 && ::getuid() != 0 && ::geteuid() != 0;  // no way back
}

void bound_self(bool pictures) {
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::setrlimit(RLIMIT_FSIZE, &none);
    if (!pictures) {  // Qt scales large pictures on threads of its own
        ::setrlimit(RLIMIT_NPROC, &none);
    }
    if (!address_sanitizer) {  // the sanitizer reserves far more address space than it uses
        const rlimit space{address_space, address_space};
        ::setrlimit(RLIMIT_AS, &space);
    }
    if (::chdir("/") != 0) {
        std::_Exit(1);
    }
}

// No file can be opened from here on, where the kernel has Landlock (Linux 5.13 and later).
void forbid_files() {
#if defined(SYS_landlock_create_ruleset) && defined(SYS_landlock_restrict_self)
    const long abi =
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) {
        return;
    }
    landlock_ruleset_attr rules{};
    rules.handled_access_fs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
        LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR |
        LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
        LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
        LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    const int ruleset =
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0));
    if (ruleset < 0) {
        return;
    }
    ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(ruleset);
#endif
}

// The found file as the parent serves it: its first bytes came with the request, any other
// part is asked for and kept until the next miss.
class parent_view_c final : public sig::byte_view_c {
  public:
    parent_view_c(std::uint64_t bound, const std::vector<std::uint8_t>& head)
        : bound_(bound), head_(head) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > sig::view_max_span || pos > bound_ || n > bound_ - pos) {
            return nullptr;
        }
        if (pos <= head_.size() && n <= head_.size() - pos) {
            return head_.data() + pos;
        }
        if (pos >= block_start_ && pos - block_start_ <= block_.size() &&
            n <= block_.size() - (pos - block_start_)) {
            return block_.data() + (pos - block_start_);
        }
        const auto want =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(sig::view_max_span, bound_ - pos));
        std::vector<char> message(sizeof(std::uint32_t) * 3 + sizeof pos);
        const std::uint32_t kind = meta_wire::read;
        const auto count = static_cast<std::uint32_t>(n);
        std::memcpy(message.data(), &kind, 4);
        std::memcpy(message.data() + 4, &pos, 8);
        std::memcpy(message.data() + 12, &count, 4);
        std::memcpy(message.data() + 16, &want, 4);
        std::uint32_t got = 0;
        if (!write_all(1, message.data(), message.size()) || !read_all(0, &got, sizeof got) ||
            got > std::max(want, count)) {
            std::_Exit(1);  // the parent is gone or out of step
        }
        block_.resize(got);
        if (got > 0 && !read_all(0, block_.data(), got)) {
            std::_Exit(1);
        }
        block_start_ = pos;
        return got >= n ? block_.data() : nullptr;
    }
    std::uint64_t size() const override { return bound_; }

  private:
    std::uint64_t bound_;
    const std::vector<std::uint8_t>& head_;
    std::vector<std::uint8_t> block_;
    std::uint64_t block_start_ = 0;
};

#ifdef ORVANE_TEST_HOOKS
// Test builds only: a file whose title holds ORVANE_TEST_META_CRASH's text crashes this
// reader, one whose title holds ORVANE_TEST_META_HANG's text hangs it.
void test_hooks(const QString& title) {
    const QString crash = qEnvironmentVariable("ORVANE_TEST_META_CRASH");
    if (!crash.isEmpty() && title.contains(crash)) {
        ::raise(SIGSEGV);
    }
    const QString hang = qEnvironmentVariable("ORVANE_TEST_META_HANG");
    if (!hang.isEmpty() && title.contains(hang)) {
        for (;;) {
            ::pause();
        }
    }
}
#endif

// Every image reader Qt has, loaded now, while files may still be opened.
void load_picture_readers() {
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        QBuffer empty;
        empty.open(QIODevice::ReadOnly);
        QImageReader reader(&empty, format);
        (void)reader.canRead();
    }
}

// One picture request (the kind word read already); false when the parent is out of step.
bool answer_picture() {
    std::uint32_t header[3] = {};  // format length, side, byte count
    if (!read_all(0, header, sizeof header) || header[0] > meta_wire::max_type || header[1] == 0 ||
        header[1] > meta_wire::max_side || header[2] > meta_wire::max_picture_bytes) {
        return false;
    }
    QByteArray format(static_cast<qsizetype>(header[0]), Qt::Uninitialized);
    QByteArray bytes(static_cast<qsizetype>(header[2]), Qt::Uninitialized);
    if (!read_all(0, format.data(), header[0]) || !read_all(0, bytes.data(), header[2])) {
        return false;
    }
#ifdef ORVANE_TEST_HOOKS
    const QByteArray crash = qgetenv("ORVANE_TEST_PICTURE_CRASH");
    if (!crash.isEmpty() && bytes.contains(crash)) {
        ::raise(SIGSEGV);  // test builds: a reader that crashes on this picture
    }
#endif
    QImage image;
    bool alpha = false;
    try {
        image = decode_picture(bytes, format, static_cast<int>(header[1]));
        alpha = image.hasAlphaChannel();
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    } catch (...) {
        image = {};
    }
    if (image.width() > static_cast<int>(header[1]) ||
        image.height() > static_cast<int>(header[1])) {
        image = {};
    }
    const std::uint32_t answer[4] = {meta_wire::picture, static_cast<std::uint32_t>(image.width()),
                                     static_cast<std::uint32_t>(image.height()), alpha ? 1u : 0u};
    if (!write_all(1, answer, sizeof answer)) {
        return false;
    }
    const auto row = static_cast<std::size_t>(image.width()) * 4;
    for (int y = 0; y < image.height(); ++y) {
        if (!write_all(1, image.constScanLine(y), row)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool pictures = argc > 1 && std::strcmp(argv[1], "--pictures") == 0;
    if (!give_up_root()) {
        return 1;
    }
    bound_self(pictures);
    // What the readers need from the system, loaded before files are forbidden: the local
    // time zone of dates written without one.
    ::tzset();
    (void)meta::exif_date("2024:06:01 14:03:22");
    if (pictures) {
        load_picture_readers();
    }
    forbid_files();
    const std::uint32_t hello[3] = {meta_wire::hello, static_cast<std::uint32_t>(::getuid()),
                                    static_cast<std::uint32_t>(::geteuid())};
    if (!write_all(1, hello, sizeof hello)) {
        return 1;
    }
    std::vector<std::uint8_t> head;
    for (;;) {
        std::uint32_t header[3] = {};  // kind, type length, head length
        std::uint64_t bound = 0;
        if (!read_all(0, header, 4)) {
            return 0;  // the parent is done
        }
        if (pictures) {
            if (header[0] != meta_wire::picture || !answer_picture()) {
                return 1;
            }
            continue;
        }
        if (!read_all(0, header + 1, sizeof header - 4)) {
            return 1;
        }
        if (header[0] != meta_wire::file || header[1] > meta_wire::max_type ||
            header[2] > meta_wire::max_head || !read_all(0, &bound, sizeof bound) ||
            header[2] > bound) {
            return 1;
        }
        QByteArray type(static_cast<qsizetype>(header[1]), Qt::Uninitialized);
        head.resize(header[2]);
        if (!read_all(0, type.data(), header[1]) ||
            (header[2] > 0 && !read_all(0, head.data(), header[2]))) {
            return 1;
        }
        file_meta_s meta;
        try {
            parent_view_c view(bound, head);
            sig::window_c window(view, 0, bound);
            meta = read_file_meta(type, window);
        } catch (...) {
            meta = {};  // out of memory for this file: it says nothing
        }
#ifdef ORVANE_TEST_HOOKS
        test_hooks(meta.title);
#endif
        QByteArray title = meta.title.toUtf8();
        if (title.size() > static_cast<qsizetype>(meta_wire::max_title)) {
            title.clear();
        }
        std::vector<char> message(4 + 16 + 4 + static_cast<std::size_t>(title.size()));
        const std::uint32_t kind = meta_wire::result;
        const std::int64_t dates[2] = {meta.created, meta.modified};
        const auto length = static_cast<std::uint32_t>(title.size());
        std::memcpy(message.data(), &kind, 4);
        std::memcpy(message.data() + 4, dates, 16);
        std::memcpy(message.data() + 20, &length, 4);
        if (length > 0) {
            std::memcpy(message.data() + 24, title.constData(), length);
        }
        if (!write_all(1, message.data(), message.size())) {
            return 1;
        }
    }
}
