#include "crypto/os_random.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// The /dev/urandom descriptor is accepted only for what it is: a character
// device with the kernel's urandom (1:9) or random (1:8) numbers. Anything else
// at that path (a regular file, the zero device, in a container or a mount
// namespace someone prepared) would hand out bytes that merely look random.
// The kept descriptor is checked the same way before every read, since code
// that closes descriptors it does not own (os.closerange when daemonizing) can
// free the number for another file; when it no longer names the device, the
// path is opened again. The number itself is never closed, since it may belong
// to someone else by now.
bool is_random_device(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != 1)
        return false;
    return minor(st.st_rdev) == 9 || minor(st.st_rdev) == 8;
}

int open_urandom() {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Where getrandom is missing, the first use waits once for the kernel pool to
// be initialised (/dev/random becomes readable), as getrandom would.
void wait_for_kernel_pool() {
    int rfd = open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (rfd < 0) return;
    if (is_random_device(rfd)) {
        pollfd p{rfd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
    }
    close(rfd);
}

struct Source {
    GetrandomFn getrandom = nullptr;
    std::atomic<int> fd{-1};  // the descriptor in use, -1 until one is open
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
                return;
            }
        }
        wait_for_kernel_pool();
    });
    return s;
}

// The kept descriptor, checked; opened (again) when there is none yet or its
// number no longer names the device. -1 when the device cannot be opened now:
// that draw fails, and the next one tries again (a shortage of descriptors,
// EMFILE or ENFILE, passes).
int checked_urandom(Source& s) {
    int fd = s.fd.load();
    if (is_random_device(fd)) return fd;
    const int fresh = open_urandom();
    if (fresh < 0) return -1;
    if (!is_random_device(fresh)) {
        close(fresh);
        return -1;
    }
    // Another thread may have opened it first: keep one, close our own spare.
    if (s.fd.compare_exchange_strong(fd, fresh)) return fresh;
    close(fresh);
    return is_random_device(fd) ? fd : -1;
}

}  // namespace

Status os_random(std::span<std::uint8_t> out) {
    Source& s = source();
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
