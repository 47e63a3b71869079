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
#include <new>

#include "zeroize.h"

namespace velmora::crypto {

namespace {

using GetrandomFn = ssize_t (*)(void*, size_t, unsigned int);

// Resolved by name so that a C library without getrandom still loads us.
GetrandomFn resolved_getrandom() {
    static const GetrandomFn fn = reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom"));
    return fn;
}

// Set once getrandom has answered ENOSYS or EPERM (a kernel without it, a
// sandbox that refuses it, perhaps installed long after start-up); from then on
// every draw goes to the device. Any other failure of getrandom stays a failure.
std::atomic<bool> g_getrandom_refused{false};

// ---- the device fallback ------------------------------------------------------------
//
// A path is accepted only for what it is: a character device with the kernel's
// urandom (1:9) or random (1:8) numbers. Anything else there (a regular file,
// the zero device, a FIFO, a terminal, in a container or a mount namespace
// someone prepared) would hand out bytes that merely look random, or hang.
// So both paths are opened with O_NONBLOCK (a FIFO's open would otherwise wait
// for a writer for ever, with the interpreter lock held) and O_NOCTTY (a
// terminal must not become a daemon's controlling terminal), and checked with
// fstat before anything reads or polls them.

// What fstat says a descriptor is: the device node's own identity (device and
// inode) and the device it stands for.
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    dev_t rdev = 0;
};

bool is_kernel_random(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 &&
           (minor(st.st_rdev) == 9 || minor(st.st_rdev) == 8);
}

bool same_identity(int fd, const Identity& id) {
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && is_kernel_random(st) && st.st_dev == id.dev &&
           st.st_ino == id.ino && st.st_rdev == id.rdev;
}

// The device at `path`, checked, with its identity; -1 (nothing left open,
// errno saying why: ENODEV for something other than the device) otherwise.
int open_device(const char* path, Identity* id) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !is_kernel_random(st)) {
        close(fd);
        errno = ENODEV;
        return -1;
    }
    // The non-blocking open only kept a FIFO's open from waiting for a writer;
    // reads block as a device read should (never, once the pool is ready).
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    *id = Identity{st.st_dev, st.st_ino, st.st_rdev};
    return fd;
}

// Before the first read from the device, wait once for the kernel pool to be
// initialised (/dev/random becomes readable), as getrandom would. No
// /dev/random at all skips the wait, as before; something other than the
// device there fails the draw (and the next draw looks again).
std::atomic<bool> g_pool_ready{false};

bool wait_for_kernel_pool() {
    if (g_pool_ready.load(std::memory_order_acquire)) return true;
    Identity ignored;
    const int rfd = open_device("/dev/random", &ignored);
    if (rfd < 0) {
        const bool missing = errno == ENOENT;
        if (missing) g_pool_ready.store(true, std::memory_order_release);
        return missing;
    }
    pollfd p{rfd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    close(rfd);
    const bool ready = r > 0 && (p.revents & POLLIN) != 0;
    if (ready) g_pool_ready.store(true, std::memory_order_release);
    return ready;
}

// The kept /dev/urandom descriptor and the identity it had when it was opened.
// Code that closes descriptors it does not own (os.closerange when daemonizing)
// can free the number for another file, and native code can dup2 another file
// onto it; so the descriptor is checked against that identity before every
// read and again after it. When it no longer names the device, the path is
// opened again; the old number is never closed, since it may belong to someone
// else by now.
//
// The window that remains: a file swapped onto the number after the check
// before a read and swapped back (to the same device node) before the check
// after it goes unseen. Only code inside this process, racing each read to the
// microsecond, can do that, and such code can read the secrets themselves out
// of our memory; what the checks stop is a descriptor that has been replaced,
// by accident or on purpose, and stays replaced for the length of a read.
//
// A record is never changed once published and never freed (another thread
// may still be reading it): one small allocation per reopen. No lock is taken,
// so a fork while another thread draws leaves nothing held in the child.
struct Kept {
    int fd;
    Identity id;
};
std::atomic<const Kept*> g_kept{nullptr};

// The kept device if it still is the device, else a fresh one; false when the
// path cannot be opened as the device now (that draw fails, the next one tries
// again, so a passing shortage of descriptors passes).
bool current_device(bool force_reopen, Kept* out) {
    const Kept* kept = g_kept.load(std::memory_order_acquire);
    if (!force_reopen && kept != nullptr && same_identity(kept->fd, kept->id)) {
        *out = *kept;
        return true;
    }
    Identity id;
    const int fresh = open_device("/dev/urandom", &id);
    if (fresh < 0) return false;
    const Kept* mine = new (std::nothrow) Kept{fresh, id};
    if (mine == nullptr) {
        close(fresh);
        return false;
    }
    if (!g_kept.compare_exchange_strong(kept, mine, std::memory_order_acq_rel)) {
        // Another thread opened it first: keep one, close our own spare.
        delete mine;
        close(fresh);
        if (!same_identity(kept->fd, kept->id)) return false;
        *out = *kept;
        return true;
    }
    *out = *mine;
    return true;
}

enum class Fill { Done, Swapped, Failed };

// Reads out completely from the device, checking after every read that the
// descriptor still is the device it was.
Fill read_checked(const Kept& dev, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t r = read(dev.fd, out.data() + done, out.size() - done);
        const int read_errno = errno;
        if (!same_identity(dev.fd, dev.id)) return Fill::Swapped;
        if (r < 0) {
            if (read_errno == EINTR) continue;
            return Fill::Failed;
        }
        if (r == 0) return Fill::Failed;
        done += static_cast<std::size_t>(r);
    }
    return Fill::Done;
}

Status device_fill(std::span<std::uint8_t> out) {
    if (!wait_for_kernel_pool()) return ErrorKind::RngFailed;
    // A descriptor found swapped after a read: what this draw read is wiped,
    // the device is opened afresh and the draw starts over, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Kept dev;
        if (!current_device(attempt > 0, &dev)) return ErrorKind::RngFailed;
        const Fill filled = read_checked(dev, out);
        if (filled == Fill::Done) return {};
        secure_zero(out.data(), out.size());
        if (filled == Fill::Failed) return ErrorKind::RngFailed;
    }
    return ErrorKind::RngFailed;
}

}  // namespace

Status os_random(std::span<std::uint8_t> out) {
    if (out.empty()) return {};
    std::size_t done = 0;
    const GetrandomFn getrandom = resolved_getrandom();
    if (getrandom != nullptr && !g_getrandom_refused.load(std::memory_order_relaxed)) {
        while (done < out.size()) {
            const ssize_t r = getrandom(out.data() + done, out.size() - done, 0);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == ENOSYS || errno == EPERM)) {
                g_getrandom_refused.store(true, std::memory_order_relaxed);
                break;
            }
            return ErrorKind::RngFailed;
        }
        if (done == out.size()) return {};
    }
    // What getrandom gave before it was refused is kept; the device fills the rest.
    return device_fill(out.subspan(done));
}

}  // namespace velmora::crypto
