#include "crypto/os_random.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace velmora::crypto {

namespace {

using GetrandomFn = ssize_t (*)(void*, size_t, unsigned int);

// Resolved by name so that a C library without getrandom still loads us.
GetrandomFn lookup_getrandom() {
    return reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom"));
}

// The kept /dev/urandom descriptor is known by what it is, not by its number:
// code that closes descriptors it does not own (os.closerange when daemonizing)
// can free the number for a regular file, whose bytes would then pass for
// random ones. Every read first checks that the number still names the device
// opened, and reopens it when it does not; the number itself is never closed,
// since it may belong to someone else by now.
struct Device {
    dev_t rdev = 0;
    ino_t ino = 0;
};

bool is_device(int fd, const Device& want) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == want.rdev &&
           st.st_ino == want.ino;
}

int open_urandom() {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

struct Source {
    GetrandomFn getrandom = nullptr;
    Device device;             // what the descriptor must name, fixed at first open
    std::atomic<int> fd{-1};   // the descriptor in use
    bool ready = false;
};

Source& source() {
    static Source s;
    static std::once_flag once;
    std::call_once(once, [] {
        GetrandomFn fn = lookup_getrandom();
        if (fn) {
            unsigned char probe;
            ssize_t r;
            do {
                r = fn(&probe, 1, 0);
            } while (r < 0 && errno == EINTR);
            if (r >= 0 || (errno != ENOSYS && errno != EPERM)) {
                s.getrandom = fn;
                s.ready = true;
                return;
            }
        }
        // Fallback: wait once for the kernel pool to be initialised, then keep
        // /dev/urandom open for the life of the process.
        int rfd = open("/dev/random", O_RDONLY | O_CLOEXEC);
        if (rfd >= 0) {
            pollfd p{rfd, POLLIN, 0};
            while (poll(&p, 1, -1) < 0 && errno == EINTR) {
            }
            close(rfd);
        }
        const int fd = open_urandom();
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
            if (fd >= 0) close(fd);
            return;
        }
        s.device = {st.st_rdev, st.st_ino};
        s.fd.store(fd);
        s.ready = true;
    });
    return s;
}

// The kept descriptor, checked; reopened when its number no longer names the
// device. -1 when the device cannot be opened again.
int checked_urandom(Source& s) {
    int fd = s.fd.load();
    if (is_device(fd, s.device)) return fd;
    const int fresh = open_urandom();
    if (fresh < 0) return -1;
    if (!is_device(fresh, s.device)) {
        close(fresh);
        return -1;
    }
    // Another thread may have reopened it first: keep one, close our own spare.
    if (s.fd.compare_exchange_strong(fd, fresh)) return fresh;
    close(fresh);
    return is_device(fd, s.device) ? fd : -1;
}

}  // namespace

Status os_random(std::span<std::uint8_t> out) {
    Source& s = source();
    if (!s.ready) return ErrorKind::RngFailed;
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t r;
        if (s.getrandom) {
            r = s.getrandom(out.data() + done, out.size() - done, 0);
        } else {
            const int fd = checked_urandom(s);
            if (fd < 0) return ErrorKind::RngFailed;
            r = read(fd, out.data() + done, out.size() - done);
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return ErrorKind::RngFailed;
        }
        if (r == 0) return ErrorKind::RngFailed;
        done += static_cast<std::size_t>(r);
    }
    return {};
}

}  // namespace velmora::crypto
