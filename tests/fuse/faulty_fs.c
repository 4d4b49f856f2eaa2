/* faulty_fs: a FUSE file system for the imaging tests that serves one disk image as the
 * file "disk.img" and fails reads of chosen sectors with EIO, like a failing disk.
 *
 *   faulty_fs IMAGE BADLIST LOG DELAY_MS MOUNTPOINT [FUSE OPTIONS]
 *
 * BADLIST holds one 512-byte sector number (or FIRST-LAST) per line; a read that touches
 * one of them fails with EIO. Each read is logged to LOG as "OFFSET SIZE ok|EIO" and takes
 * DELAY_MS milliseconds more. Files are served with direct_io so that every read reaches
 * this program, and the list is read again when BADLIST changes, so that a test can "mend"
 * sectors. Written for the tests only. */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

struct range {
    uint64_t first, last;
};

static const char *image_path, *bad_path, *log_path;
static long delay_ms;
static int image_fd = -1;
static off_t image_size;
static struct range *bad;
static size_t bad_count;
static struct timespec bad_mtime;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void load_bad_list(void) {
    struct stat st;
    if (stat(bad_path, &st) != 0) {
        bad_count = 0;
        return;
    }
    if (bad && st.st_mtim.tv_sec == bad_mtime.tv_sec && st.st_mtim.tv_nsec == bad_mtime.tv_nsec)
        return;
    bad_mtime = st.st_mtim;
    FILE *f = fopen(bad_path, "r");
    if (!f)
        return;
    free(bad);
    bad = NULL;
    bad_count = 0;
    size_t room = 0;
    char line[128];
    while (fgets(line, sizeof line, f)) {
        uint64_t a, b;
        int n = sscanf(line, "%" SCNu64 "-%" SCNu64, &a, &b);
        if (n < 1)
            continue;
        if (n == 1)
            b = a;
        if (bad_count == room) {
            room = room ? room * 2 : 64;
            bad = realloc(bad, room * sizeof *bad);
        }
        bad[bad_count].first = a;
        bad[bad_count].last = b;
        bad_count++;
    }
    fclose(f);
}

static int touches_bad(uint64_t offset, uint64_t size) {
    if (size == 0)
        return 0;
    uint64_t first = offset / 512, last = (offset + size - 1) / 512;
    for (size_t i = 0; i < bad_count; i++)
        if (bad[i].first <= last && first <= bad[i].last)
            return 1;
    return 0;
}

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    (void)conn;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;
    return NULL;
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/disk.img") == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = image_size;
        return 0;
    }
    return -ENOENT;
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)off, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "disk.img", NULL, 0, 0);
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi) {
    if (strcmp(path, "/disk.img") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi) {
    (void)path, (void)fi;
    if (offset >= image_size)
        return 0;
    if ((off_t)size > image_size - offset)
        size = (size_t)(image_size - offset);
    if (delay_ms > 0) {
        struct timespec pause = {delay_ms / 1000, (delay_ms % 1000) * 1000000L};
        nanosleep(&pause, NULL);
    }
    pthread_mutex_lock(&lock);
    load_bad_list();
    int failing = touches_bad((uint64_t)offset, size);
    FILE *log = fopen(log_path, "a");
    if (log) {
        fprintf(log, "%" PRId64 " %zu %s\n", (int64_t)offset, size, failing ? "EIO" : "ok");
        fclose(log);
    }
    pthread_mutex_unlock(&lock);
    if (failing)
        return -EIO;
    ssize_t n = pread(image_fd, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static const struct fuse_operations operations = {
    .init = fs_init,
    .getattr = fs_getattr,
    .readdir = fs_readdir,
    .open = fs_open,
    .read = fs_read,
};

int main(int argc, char *argv[]) {
    if (argc < 6) {
        fprintf(stderr, "usage: %s IMAGE BADLIST LOG DELAY_MS MOUNTPOINT [FUSE OPTIONS]\n",
                argv[0]);
        return 2;
    }
    image_path = argv[1];
    bad_path = argv[2];
    log_path = argv[3];
    delay_ms = atol(argv[4]);
    image_fd = open(image_path, O_RDONLY | O_CLOEXEC);
    if (image_fd < 0) {
        perror(image_path);
        return 1;
    }
    struct stat st;
    if (fstat(image_fd, &st) != 0)
        return 1;
    image_size = st.st_size;
    /* fuse_main gets: program, mount point, options */
    char **fuse_argv = calloc((size_t)argc, sizeof *fuse_argv);
    int fuse_argc = 0;
    fuse_argv[fuse_argc++] = argv[0];
    for (int i = 5; i < argc; i++)
        fuse_argv[fuse_argc++] = argv[i];
    return fuse_main(fuse_argc, fuse_argv, &operations, NULL);
}
