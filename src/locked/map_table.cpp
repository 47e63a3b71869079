// The reserve of mapping-table entries.
//
// The only way to count the table is to read /proc/self/maps, and that costs
// more the fuller the table is (about 50 µs for a small process, a fifth of a
// second at 65,000 entries). So it is counted when the first region is made,
// and afterwards only when the estimate says a region would not fit or the last
// count has aged. In between, the estimate is that count plus what our own
// regions changed since, which is known exactly: a region adds three entries
// less one for each live region of ours that it borders (touching guard pages
// merge into one entry), and its release takes away the same number. Regions
// find their neighbours by their edges (start and end addresses) in a small
// hash table.
#include "locked/map_table.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace velmora {

namespace {

// 4096 entries: room for about a thousand new threads (a stack and its guard
// page each, and a malloc arena now and then) or some two hundred extension
// modules with the libraries they load (10 to 20 entries each). Out of the
// default table of 65,530 entries it keeps back about 2,000 of the 32,700 boxes
// the table could hold. A table too small for that keeps half of itself back.
constexpr std::int64_t RESERVE_ENTRIES = 4096;

constexpr std::int64_t MS = 1'000'000;

// How long a count stands while regions fit: a second, or a thousand times what
// counting cost, so that at most 0.1 % of the time goes into counting. Others
// may map and unmap meanwhile; the reserve absorbs what they do in that time.
std::int64_t fits_stands_for(std::int64_t cost) { return std::max(1000 * MS, 1000 * cost); }
// How long a count stands once it found the table full: a caller retrying in a
// loop is refused on the estimate rather than made to count every time.
std::int64_t full_stands_for(std::int64_t cost) { return std::max(10 * MS, 10 * cost); }

std::int64_t clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);  // served by the vDSO, no system call
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Region edges by address: START where a live region begins, END where one
// ends (an address can be both). Open addressing with linear probing; the keys
// are page addresses and never 0. Never freed: it lives as long as the process.
class EdgeTable {
public:
    static constexpr std::uint8_t START = 1, END = 2;

    std::uint8_t get(std::uintptr_t key) const {
        if (slots_ == nullptr) return 0;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return slots_[i].bits;
            if (slots_[i].key == 0) return 0;
        }
    }

    // Room for `n` more keys; false if the table could not grow.
    bool make_room(std::size_t n) {
        if (slots_ != nullptr && (used_ + n) * 2 <= mask_ + 1) return true;
        std::size_t cap = slots_ == nullptr ? 64 : (mask_ + 1) * 2;
        while ((used_ + n) * 2 > cap) cap *= 2;
        auto* fresh = static_cast<Slot*>(std::calloc(cap, sizeof(Slot)));
        if (fresh == nullptr) return false;
        Slot* old = slots_;
        const std::size_t old_cap = old == nullptr ? 0 : mask_ + 1;
        slots_ = fresh;
        mask_ = cap - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(cap));
        for (std::size_t i = 0; i < old_cap; ++i) {
            if (old[i].key != 0) *free_slot(old[i].key) = old[i];
        }
        std::free(old);
        return true;
    }

    // Needs make_room first when `key` may be new.
    void add(std::uintptr_t key, std::uint8_t bits) {
        std::size_t i = home(key);
        while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask_;
        if (slots_[i].key == 0) {
            slots_[i].key = key;
            ++used_;
        }
        slots_[i].bits |= bits;
    }

    void remove(std::uintptr_t key, std::uint8_t bits) {
        if (slots_ == nullptr) return;
        std::size_t i = home(key);
        while (slots_[i].key != key) {
            if (slots_[i].key == 0) return;
            i = (i + 1) & mask_;
        }
        slots_[i].bits &= static_cast<std::uint8_t>(~bits);
        if (slots_[i].bits == 0) erase_at(i);
    }

private:
    struct Slot {
        std::uintptr_t key;
        std::uint8_t bits;
    };

    std::size_t home(std::uintptr_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
    }

    Slot* free_slot(std::uintptr_t key) {
        std::size_t i = home(key);
        while (slots_[i].key != 0) i = (i + 1) & mask_;
        ++used_;
        return &slots_[i];
    }

    // Backward-shift deletion: later keys of the same probe run move up, so
    // lookups never need tombstones.
    void erase_at(std::size_t hole) {
        for (std::size_t j = (hole + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
            const std::size_t h = home(slots_[j].key);
            const bool stays = hole < j ? (hole < h && h <= j) : (hole < h || h <= j);
            if (!stays) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Slot{0, 0};
        --used_;
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t used_ = 0;
    unsigned shift_ = 64;
};

struct Table {
    std::mutex mu;
    bool looked_up = false;  // vm.max_map_count has been read, or found unreadable
    bool tracking = false;   // it was read: regions are counted against it
    bool counting = false;   // a thread is reading /proc/self/maps (mu not held)
    std::int64_t limit = 0;
    std::int64_t reserve = 0;
    std::int64_t regions = 0;  // entries our mapped regions take
    std::int64_t claims = 0;   // regions claimed and not mapped yet
    std::int64_t others = 0;   // entries of everything else at the last count
    std::int64_t counted_at = LLONG_MIN / 2;
    std::int64_t count_cost = 0;
    EdgeTable edges;

    std::int64_t estimate() const { return others + regions + claims * REGION_MAP_ENTRIES; }
    bool fits() const { return estimate() <= limit - reserve; }
};

Table& table() {
    static Table* t = new Table;  // never destroyed: regions outlive static destructors
    return *t;
}

// Keeps the table consistent across fork(): the child inherits it whole, with
// our regions in it, and no thread counting.
void before_fork() { table().mu.lock(); }
void after_fork_parent() { table().mu.unlock(); }
void after_fork_child() {
    table().counting = false;
    table().mu.unlock();
}

std::int64_t read_limit() {
    const int fd = ::open("/proc/sys/vm/max_map_count", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[32];
    ssize_t got;
    do {
        got = ::read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    return end != text && v > 0 ? v : -1;
}

// The lines of /proc/self/maps: one per entry (and one for the vsyscall page,
// which takes none). -1 if it cannot be read.
std::int64_t count_entries() {
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    static char buf[64 << 10];  // used only by the thread that set Table::counting
    std::int64_t lines = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) lines = -1;
        if (got <= 0) break;
        const char* p = buf;
        const char* const end = buf + got;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            ++lines;
            ++p;
        }
    }
    ::close(fd);
    return lines;
}

void look_up(Table& t) {
    t.looked_up = true;
    const std::int64_t limit = read_limit();
    if (limit <= 0) return;  // no /proc: the kernel's own refusal is all there is
    t.limit = limit;
    t.reserve = map_reserve_for(limit);
    t.tracking = true;
}

// Counts the table with t.mu released (other threads decide on the estimate
// meanwhile) and takes the count as the new basis. Returns the count, or -1.
std::int64_t count_into(Table& t, std::unique_lock<std::mutex>& lock) {
    t.counting = true;
    lock.unlock();
    const std::int64_t started = clock_ns(CLOCK_MONOTONIC);
    const std::int64_t n = count_entries();
    const std::int64_t cost = clock_ns(CLOCK_MONOTONIC) - started;
    lock.lock();
    t.counting = false;
    t.counted_at = clock_ns(CLOCK_MONOTONIC_COARSE);
    t.count_cost = cost;
    // An unreadable table keeps the old basis; it is tried again when this
    // attempt has aged like a count.
    if (n >= 0) t.others = n - t.regions;
    return n;
}

void bind_fork_handlers() {
    [[maybe_unused]] static const bool bound =
        pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
}

}  // namespace

std::int64_t map_reserve_for(std::int64_t limit) { return std::min(RESERVE_ENTRIES, limit / 2); }

bool claim_region_entries() {
    bind_fork_handlers();
    Table& t = table();
    std::unique_lock lock(t.mu);
    if (!t.looked_up) look_up(t);
    if (!t.tracking) return true;
    ++t.claims;
    const std::int64_t age = clock_ns(CLOCK_MONOTONIC_COARSE) - t.counted_at;
    const bool fits = t.fits();
    if (fits && age < fits_stands_for(t.count_cost)) return true;
    if (t.counting || (!fits && age < full_stands_for(t.count_cost))) {
        if (!fits) --t.claims;
        return fits;
    }
    count_into(t, lock);
    if (t.fits()) return true;
    --t.claims;
    return false;
}

void drop_region_claim() {
    Table& t = table();
    std::lock_guard lock(t.mu);
    if (t.tracking) --t.claims;
}

void note_region_mapped(const void* base, std::size_t len) {
    Table& t = table();
    std::lock_guard lock(t.mu);
    if (!t.tracking) return;
    --t.claims;
    const auto b = reinterpret_cast<std::uintptr_t>(base);
    const auto e = b + len;
    if (!t.edges.make_room(2)) {
        t.regions += REGION_MAP_ENTRIES;  // unrecorded: counted as if it bordered nothing
        return;
    }
    const int shared =
        ((t.edges.get(b) & EdgeTable::END) != 0) + ((t.edges.get(e) & EdgeTable::START) != 0);
    t.edges.add(b, EdgeTable::START);
    t.edges.add(e, EdgeTable::END);
    t.regions += REGION_MAP_ENTRIES - shared;
}

void note_region_unmapping(const void* base, std::size_t len) {
    Table& t = table();
    std::lock_guard lock(t.mu);
    if (!t.tracking) return;
    const auto b = reinterpret_cast<std::uintptr_t>(base);
    const auto e = b + len;
    if ((t.edges.get(b) & EdgeTable::START) == 0) {
        t.regions -= REGION_MAP_ENTRIES;  // never recorded
        return;
    }
    t.edges.remove(b, EdgeTable::START);
    t.edges.remove(e, EdgeTable::END);
    const int shared =
        ((t.edges.get(b) & EdgeTable::END) != 0) + ((t.edges.get(e) & EdgeTable::START) != 0);
    t.regions -= REGION_MAP_ENTRIES - shared;
}

MapTableView map_table_view() {
    Table& t = table();
    std::lock_guard lock(t.mu);
    if (!t.looked_up) look_up(t);
    if (!t.tracking) return {-1, -1, -1, -1};
    return {t.limit, t.reserve, t.others + t.regions, t.regions};
}

std::int64_t recount_map_table() {
    Table& t = table();
    std::unique_lock lock(t.mu);
    if (!t.looked_up) look_up(t);
    if (!t.tracking || t.counting) return -1;
    return count_into(t, lock);
}

}  // namespace velmora
