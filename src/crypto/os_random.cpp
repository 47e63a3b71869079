#include "crypto/os_random.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <mutex>

namespace velmora::crypto {

namespace {

using GetrandomFn = ssize_t (*)(void*, size_t, unsigned int);

// Resolved by name so that a C library without getrandom still loads us.
GetrandomFn lookup_getrandom() {
    return reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom"));
}

struct Source {
    GetrandomFn getrandom = nullptr;
    int urandom_fd = -1;
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
        int fd;
        do {
            fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        s.urandom_fd = fd;
        s.ready = fd >= 0;
    });
    return s;
}

}  // namespace

Status os_random(std::span<std::uint8_t> out) {
    Source& s = source();
    if (!s.ready) return ErrorKind::RngFailed;
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t r = s.getrandom ? s.getrandom(out.data() + done, out.size() - done, 0)
                                : read(s.urandom_fd, out.data() + done, out.size() - done);
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
