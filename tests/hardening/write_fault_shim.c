/* Preloaded into the command-line exporter by the fault-injection tests: files opened under
 * $FAULT_DIR get writes that fail with ENOSPC once $FAULT_WRITE_AFTER bytes have gone to them
 * (counted per file), and a close that fails with EIO when $FAULT_CLOSE is 1. Everything else
 * passes straight to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FD 4096

static long long written[MAX_FD];
static char watched[MAX_FD];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int under_fault_dir(const char* path) {
    const char* dir = getenv("FAULT_DIR");
    return dir && *dir && path && strncmp(path, dir, strlen(dir)) == 0;
}

static long long write_limit(void) {
    const char* text = getenv("FAULT_WRITE_AFTER");
    return text && *text ? atoll(text) : -1;
}

static void watch(int fd, const char* path) {
    if (fd >= 0 && fd < MAX_FD) {
        pthread_mutex_lock(&lock);
        watched[fd] = (char)under_fault_dir(path);
        written[fd] = 0;
        pthread_mutex_unlock(&lock);
    }
}

/* How many of `count` bytes may go to `fd`; -1 when none may. */
static ssize_t allowance(int fd, size_t count) {
    long long limit = write_limit();
    ssize_t allowed = (ssize_t)count;
    if (fd < 0 || fd >= MAX_FD || limit < 0) return allowed;
    pthread_mutex_lock(&lock);
    if (watched[fd]) {
        long long room = limit - written[fd];
        if (room <= 0) allowed = -1;
        else if ((long long)count > room) allowed = (ssize_t)room;
        if (allowed > 0) written[fd] += allowed;
    }
    pthread_mutex_unlock(&lock);
    return allowed;
}

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef int (*close_fn)(int);

#define REAL(name, type) static type real_##name; if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

int open(const char* path, int flags, ...) {
    REAL(open, open_fn);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }
    int fd = real_open(path, flags, mode);
    watch(fd, path);
    return fd;
}

int open64(const char* path, int flags, ...) {
    REAL(open64, open_fn);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }
    int fd = real_open64(path, flags, mode);
    watch(fd, path);
    return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
    REAL(openat, openat_fn);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }
    int fd = real_openat(dirfd, path, flags, mode);
    watch(fd, path);
    return fd;
}

int openat64(int dirfd, const char* path, int flags, ...) {
    REAL(openat64, openat_fn);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }
    int fd = real_openat64(dirfd, path, flags, mode);
    watch(fd, path);
    return fd;
}

ssize_t write(int fd, const void* data, size_t count) {
    REAL(write, write_fn);
    ssize_t allowed = allowance(fd, count);
    if (allowed < 0) { errno = ENOSPC; return -1; }
    return real_write(fd, data, (size_t)allowed);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    REAL(pwrite, pwrite_fn);
    ssize_t allowed = allowance(fd, count);
    if (allowed < 0) { errno = ENOSPC; return -1; }
    return real_pwrite(fd, data, (size_t)allowed, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off_t offset) {
    REAL(pwrite64, pwrite_fn);
    ssize_t allowed = allowance(fd, count);
    if (allowed < 0) { errno = ENOSPC; return -1; }
    return real_pwrite64(fd, data, (size_t)allowed, offset);
}

int close(int fd) {
    REAL(close, close_fn);
    int fail = 0;
    if (fd >= 0 && fd < MAX_FD) {
        const char* text = getenv("FAULT_CLOSE");
        pthread_mutex_lock(&lock);
        fail = watched[fd] && text && strcmp(text, "1") == 0;
        watched[fd] = 0;
        pthread_mutex_unlock(&lock);
    }
    int result = real_close(fd);
    if (fail && result == 0) { errno = EIO; return -1; }
    return result;
}
