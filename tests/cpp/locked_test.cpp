// Internals of locked memory below the interpreter: region layout and guard
// pages, the marker and wiping, the counters, the lock-policy rule, the
// constant-time helpers, ZeroizingBuffer and the error messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/ct.h"
#include "error/error.h"
#include "locked/counters.h"
#include "locked/map_table.h"
#include "locked/policy.h"
#include "locked/region.h"
#include "zeroize.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_ASAN 1
#endif
#endif

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::array<std::uint8_t, 8> MARKER_BYTES = {0x55, 0x1E, 0xC0, 0x5E,
                                                      0xDE, 0xC0, 0x5E, 0x1A};

LockedRegion must_allocate(std::uint64_t n) {
    auto r = LockedRegion::allocate(n);
    if (!r) {
        ADD_FAILURE() << "allocate(" << n << ") failed: " << format_message(r.error());
        std::abort();
    }
    return std::move(*r);
}

Bytes secret_of(const LockedRegion& r) {
    auto b = r.bytes();
    EXPECT_TRUE(b.has_value());
    if (!b) return {};
    return Bytes(b->begin(), b->end());
}

// One line of /proc/self/smaps for the mapping that contains `addr`: its range,
// permissions and VmFlags.
struct Mapping {
    std::uintptr_t start = 0, end = 0;
    std::string perms;
    std::string vmflags;
};

Mapping mapping_of(const void* addr) {
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    std::ifstream in("/proc/self/smaps");
    std::string line;
    Mapping cur;
    bool inside = false;
    while (std::getline(in, line)) {
        unsigned long s, e;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %7s", &s, &e, perms) == 3) {  // a mapping header
            if (inside) return cur;
            cur = Mapping{s, e, perms, ""};
            inside = a >= s && a < e;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            cur.vmflags = line.substr(8) + " ";
        }
    }
    return inside ? cur : Mapping{};
}

bool has_flag(const Mapping& m, const char* flag) {
    return m.vmflags.find(std::string(" ") + flag + " ") != std::string::npos;
}

// Probes of what the kernel under this process does with memory advice, on a
// scratch page. An emulator (qemu-user) accepts MADV_DONTDUMP and
// MADV_WIPEONFORK, returning 0, and applies neither; the tests of the advice
// skip, saying so, only where a probe shows that. A kernel that refuses the
// advice outright is not this case: the module's own fallback is tested there.
struct Scratch {
    std::uint8_t* page;
    Scratch() {
        void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        page = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    }
    ~Scratch() {
        if (page) munmap(page, 4096);
    }
};

// True when madvise(advice) succeeds but /proc/self/smaps shows no `flag`.
bool advice_accepted_but_ignored(int advice, const char* flag) {
    Scratch s;
    if (!s.page || madvise(s.page, 4096, advice) != 0) return false;
    return !has_flag(mapping_of(s.page), flag);
}

// True when madvise(MADV_WIPEONFORK) succeeds but a fork child still reads
// what the parent wrote.
bool wipe_on_fork_accepted_but_ignored() {
    Scratch s;
    if (!s.page || madvise(s.page, 4096, MADV_WIPEONFORK) != 0) return false;
    s.page[0] = 0x5A;
    const pid_t pid = fork();
    if (pid == 0) _exit(s.page[0] == 0 ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 1;
}

// ---------------------------------------------------------------------------
// Layout

struct SizeCase {
    std::uint64_t secret;
    std::size_t data_pages;
};

class RegionSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RegionSize, DataAreaIsSecretPlusMarkerRoundedToPages) {
    const std::size_t page = page_size();
    if (page != 4096) GTEST_SKIP() << "sizes below assume 4096-byte pages, have " << page;
    const SizeCase c = GetParam();
    LockedRegion r = must_allocate(c.secret);
    EXPECT_EQ(r.len(), c.secret);
    EXPECT_EQ(r.data_area_len(), c.data_pages * page);

    // The mapping is the data area with one PROT_NONE page on each side.
    const std::uint8_t* data = r.data_area();
    const Mapping lead = mapping_of(data - 1);
    const Mapping body = mapping_of(data);
    const Mapping trail = mapping_of(data + r.data_area_len());
    EXPECT_EQ(body.start, reinterpret_cast<std::uintptr_t>(data));
    EXPECT_EQ(body.end, reinterpret_cast<std::uintptr_t>(data) + c.data_pages * page);
    EXPECT_EQ(body.perms.substr(0, 3), "rw-");
    EXPECT_EQ(lead.perms.substr(0, 3), "---");
    EXPECT_LE(lead.start, reinterpret_cast<std::uintptr_t>(data) - page);
    EXPECT_EQ(trail.perms.substr(0, 3), "---");
    EXPECT_GE(trail.end, reinterpret_cast<std::uintptr_t>(data) + (c.data_pages + 1) * page);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RegionSize,
                         ::testing::Values(SizeCase{1, 1}, SizeCase{32, 1}, SizeCase{4088, 1},
                                           SizeCase{4089, 2}, SizeCase{8184, 2},
                                           SizeCase{8185, 3}));

TEST(Region, DataAreaIsLockedAdvisedAndGuardPagesAreNot) {
    if (advice_accepted_but_ignored(MADV_DONTDUMP, "dd") ||
        advice_accepted_but_ignored(MADV_WIPEONFORK, "wf"))
        GTEST_SKIP() << "this kernel (an emulator) accepts MADV_DONTDUMP and MADV_WIPEONFORK "
                        "but applies neither: a probe on a scratch page shows no dd/wf flag";
    LockedRegion r = must_allocate(32);
    const Mapping body = mapping_of(r.data_area());
    ASSERT_FALSE(body.vmflags.empty()) << "no VmFlags in /proc/self/smaps";
    EXPECT_TRUE(has_flag(body, "dd")) << body.vmflags;  // MADV_DONTDUMP
    EXPECT_TRUE(has_flag(body, "wf")) << body.vmflags;  // MADV_WIPEONFORK
#ifndef VELMORA_ASAN
    // (AddressSanitizer turns mlock into a no-op that reports success.)
    EXPECT_EQ(has_flag(body, "lo"), r.is_locked()) << body.vmflags;
#endif
    const Mapping lead = mapping_of(r.data_area() - 1);
    EXPECT_FALSE(has_flag(lead, "lo")) << lead.vmflags;
    EXPECT_FALSE(has_flag(lead, "wf")) << lead.vmflags;
}

TEST(Region, FreshRegionIsMarkerThenZeros) {
    LockedRegion r = must_allocate(100);
    const std::uint8_t* d = r.data_area();
    EXPECT_EQ(0, std::memcmp(d, MARKER_BYTES.data(), MARKER_BYTES.size()));
    for (std::size_t i = REGION_HEADER_BYTES; i < r.data_area_len(); ++i)
        ASSERT_EQ(d[i], 0) << "byte " << i;
    EXPECT_EQ(secret_of(r), Bytes(100, 0));
    EXPECT_FALSE(r.is_wiped());
}

TEST(Region, FromSliceCopiesAfterMarkerAndLeavesSourceAlone) {
    Bytes src(4089);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const Bytes before = src;
    auto r = LockedRegion::from_slice(src);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(src, before);
    EXPECT_EQ(r->len(), src.size());
    EXPECT_EQ(secret_of(*r), src);
    EXPECT_EQ(0, std::memcmp(r->data_area() + REGION_HEADER_BYTES, src.data(), src.size()));
    // Padding after the secret stays zero.
    for (std::size_t i = REGION_HEADER_BYTES + src.size(); i < r->data_area_len(); ++i)
        ASSERT_EQ(r->data_area()[i], 0) << "byte " << i;
}

TEST(Region, ViewMutWritesInPlace) {
    LockedRegion r = must_allocate(4);
    Status s = r.view_mut([](std::span<std::uint8_t> b) -> Status {
        EXPECT_EQ(b.size(), 4u);
        std::memcpy(b.data(), "\x01\x02\x03\x04", 4);
        return {};
    });
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(secret_of(r), (Bytes{1, 2, 3, 4}));
}

TEST(Region, WipeZeroesEverythingKeepsLengthAndRefusesAccess) {
    const Bytes src(50, 0xAB);
    auto r = LockedRegion::from_slice(src);
    ASSERT_TRUE(r.has_value());
    const auto before = read_counters();
    r->wipe();
    for (std::size_t i = 0; i < r->data_area_len(); ++i)
        ASSERT_EQ(r->data_area()[i], 0) << "byte " << i;  // the marker too
    EXPECT_TRUE(r->is_wiped());
    EXPECT_EQ(r->len(), 50u);
    EXPECT_EQ(r->bytes().error().kind, ErrorKind::Wiped);
    EXPECT_EQ(r->bytes_mut().error().kind, ErrorKind::Wiped);
    bool called = false;
    Status v = r->view([&](std::span<const std::uint8_t>) -> Status {
        called = true;
        return {};
    });
    EXPECT_FALSE(called);
    EXPECT_EQ(v.error().kind, ErrorKind::Wiped);
    r->wipe();  // harmless again
    EXPECT_TRUE(r->is_wiped());
    EXPECT_EQ(read_counters().live_secrets, before.live_secrets);  // still counted
}

TEST(Region, MissingMarkerIsForkChild) {
    // What a fork child sees: the kernel hands it a zero-filled data area.
    LockedRegion r = must_allocate(8);
    std::memset(r.data_area(), 0, REGION_HEADER_BYTES);
    EXPECT_FALSE(r.is_wiped());
    EXPECT_EQ(r.bytes().error().kind, ErrorKind::ForkChild);
    // A wiped region reports Wiped first.
    r.wipe();
    EXPECT_EQ(r.bytes().error().kind, ErrorKind::Wiped);
}

TEST(Region, ForkChildSeesEmptyAreaAndCanMakeNewRegions) {
    if (wipe_on_fork_accepted_but_ignored())
        GTEST_SKIP() << "this kernel (an emulator) accepts MADV_WIPEONFORK but a fork child "
                        "still reads the parent's bytes: a probe on a scratch page shows it";
    const Bytes src(16, 0x5A);
    auto r = LockedRegion::from_slice(src);
    ASSERT_TRUE(r.has_value());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        if (r->bytes().has_value() || r->bytes().error().kind != ErrorKind::ForkChild) code |= 1;
        if (r->is_wiped() || r->len() != 16) code |= 2;
        for (std::size_t i = 0; i < r->data_area_len(); ++i)
            if (r->data_area()[i] != 0) code |= 4;
        auto fresh = LockedRegion::from_slice(src);
        if (!fresh || !fresh->bytes().has_value()) code |= 8;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "bit 1: access, 2: len/wiped, 4: not zeroed, 8: new region";
    EXPECT_EQ(secret_of(*r), src);  // the parent keeps its secret
}

TEST(Region, RefusedSizesAllocateNothing) {
    const auto before = read_counters();
    struct Case {
        std::uint64_t n;
        ErrorKind kind;
    };
    const Case cases[] = {
        {0, ErrorKind::EmptySecret},
        {REGION_MAX_SECRET + 1, ErrorKind::AllocationFailed},
        {UINT64_MAX, ErrorKind::AllocationFailed},
        {REGION_MAX_SECRET, ErrorKind::AllocationFailed},       // rounding overflows
        {std::uint64_t{1} << 62, ErrorKind::AllocationFailed},  // mmap refuses
    };
    for (const Case& c : cases) {
        auto r = LockedRegion::allocate(c.n);
        ASSERT_FALSE(r.has_value()) << c.n;
        EXPECT_EQ(r.error().kind, c.kind) << c.n;
    }
    auto empty = LockedRegion::from_slice({});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error().kind, ErrorKind::EmptySecret);
    const auto after = read_counters();
    EXPECT_EQ(after.live_secrets, before.live_secrets);
    EXPECT_EQ(after.unlocked_allocations, before.unlocked_allocations);
}

TEST(Region, LiveSecretsFollowsAllocationAndReleaseNotMoves) {
    const std::uint64_t base = read_counters().live_secrets;
    {
        LockedRegion a = must_allocate(1);
        EXPECT_EQ(read_counters().live_secrets, base + 1);
        {
            LockedRegion b = must_allocate(5000);
            EXPECT_EQ(read_counters().live_secrets, base + 2);
            LockedRegion moved(std::move(b));
            EXPECT_EQ(read_counters().live_secrets, base + 2);
            a = std::move(moved);  // a's old region is released
            EXPECT_EQ(read_counters().live_secrets, base + 1);
            EXPECT_EQ(a.len(), 5000u);
        }
        EXPECT_EQ(read_counters().live_secrets, base + 1);
        a.wipe();
        EXPECT_EQ(read_counters().live_secrets, base + 1);
    }
    EXPECT_EQ(read_counters().live_secrets, base);
}

TEST(Counters, NoteUnlockedCountsAndKeepsLatestErrno) {
    const auto before = read_counters();
    note_unlocked(ENOMEM);
    note_unlocked(EPERM);
    const auto after = read_counters();
    EXPECT_EQ(after.unlocked_allocations, before.unlocked_allocations + 2);
    EXPECT_EQ(after.last_lock_errno, EPERM);
    EXPECT_EQ(after.live_secrets, before.live_secrets);
}

// ---------------------------------------------------------------------------
// The mapping table: what the allocator believes our regions take must be what
// the kernel counts, however regions border each other and in whatever order
// they go.

// Lines of /proc/self/maps, read without allocating (an allocation could map).
std::int64_t kernel_entries() {
    static char buf[1 << 16];
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::int64_t lines = 0;
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) lines += buf[i] == '\n';
    }
    close(fd);
    return lines;
}

TEST(MapTable, EstimateFollowsTheKernelsCount) {
    if (map_table_view().limit < 0) GTEST_SKIP() << "vm.max_map_count cannot be read";
    std::vector<LockedRegion> regions;
    regions.reserve(64);  // no allocation (and so no mapping) of our own from here on
    ASSERT_GE(recount_map_table(), 0);
    auto same = [](const char* step) {
        EXPECT_EQ(map_table_view().estimate, kernel_entries()) << step;
    };
    // A run made one after another: each region borders the one before it.
    for (std::uint64_t n : {32, 32, 5000, 32, 9000, 1, 32, 32, 4089, 32, 32, 32}) {
        regions.push_back(must_allocate(n));
    }
    same("a run of twelve");
    // Holes: every other region goes, so the rest border nothing of ours.
    for (std::size_t i = 1; i < regions.size(); i += 2) regions[i] = must_allocate(32);
    same("every other one replaced by a fresh region elsewhere");
    for (std::size_t i = 0; i < regions.size(); i += 2) {
        LockedRegion gone = std::move(regions[i]);
    }
    same("every other one released");
    // New regions of another size fall into the holes or below the run.
    for (std::size_t i = 0; i < regions.size(); i += 2) regions[i] = must_allocate(9000);
    same("holes refilled");
    regions.clear();
    same("all released");
}

TEST(MapTable, EstimateHoldsForManyRegionsGoingInRandomOrder) {
    if (map_table_view().limit < 0) GTEST_SKIP() << "vm.max_map_count cannot be read";
    constexpr std::size_t N = 1500;
    std::vector<LockedRegion> regions;
    regions.reserve(N);
    std::vector<std::size_t> order(N);
    for (std::size_t i = 0; i < N; ++i) order[i] = i;
    std::mt19937 rng(26);
    std::shuffle(order.begin(), order.end(), rng);
    ASSERT_GE(recount_map_table(), 0);
    for (std::size_t i = 0; i < N; ++i) regions.push_back(must_allocate(i % 7 == 0 ? 5000 : 32));
#ifndef VELMORA_ASAN
    // The allocator's record of 1500 regions may have had malloc map a block
    // of its own: one entry that is nobody's region. (AddressSanitizer's
    // allocator maps far more on its own account.)
    EXPECT_NEAR(map_table_view().estimate, kernel_entries(), 1);
#endif
    ASSERT_GE(recount_map_table(), 0);  // the record does not grow past this
    // Release two thirds in random order, making a new region now and then
    // (which lands in one of the holes).
    for (std::size_t k = 0; k < N * 2 / 3; ++k) {
        LockedRegion gone = std::move(regions[order[k]]);
        if (k % 5 == 0) regions[order[k]] = must_allocate(32);
        if (k % 250 == 0) {
            EXPECT_EQ(map_table_view().estimate, kernel_entries()) << "after " << k;
        }
    }
    EXPECT_EQ(map_table_view().estimate, kernel_entries());
    regions.clear();
    EXPECT_EQ(map_table_view().estimate, kernel_entries());
}

// ---------------------------------------------------------------------------
// Guard pages: one byte outside the data area on either side is fatal.

void touch(const volatile std::uint8_t* p) {
    // ASan intercepts SIGSEGV to print a report; give the signal back to the
    // kernel so the child dies of it either way.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &dfl, nullptr);
    (void)*p;
}

bool killed_by_segv(int status) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) return true;
#ifdef VELMORA_ASAN
    // Should the sanitizer keep its handler anyway, it reports and exits.
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
#else
    return false;
#endif
}

class GuardPage : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(GuardPage, ByteBeforeDataAreaFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            LockedRegion r = must_allocate(GetParam());
            touch(r.data_area() - 1);
            _exit(0);
        },
        killed_by_segv, "");
}

TEST_P(GuardPage, ByteAfterDataAreaFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            LockedRegion r = must_allocate(GetParam());
            touch(r.data_area() + r.data_area_len());
            _exit(0);
        },
        killed_by_segv, "");
}

TEST_P(GuardPage, EdgesOfDataAreaAreReadable) {
    LockedRegion r = must_allocate(GetParam());
    EXPECT_EQ(r.data_area()[0], MARKER_BYTES[0]);
    EXPECT_EQ(r.data_area()[r.data_area_len() - 1], 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GuardPage, ::testing::Values(32, 4088, 4089));

// ---------------------------------------------------------------------------
// Lock policy rule

struct PolicyCase {
    const char* name;
    const char* value;  // null: variable unset
    LockPolicy want;
};

class PolicyParse : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyParse, Decides) {
    const PolicyCase& c = GetParam();
    EXPECT_EQ(parse_lock_policy(c.value), c.want) << (c.value ? c.value : "(unset)");
}

const PolicyCase POLICY_CASES[] = {
    {"unset", nullptr, LockPolicy::BestEffort},
    {"empty", "", LockPolicy::BestEffort},
    {"only_space", " \t\n", LockPolicy::BestEffort},
    {"require", "require", LockPolicy::Require},
    {"capitals", "REQUIRE", LockPolicy::Require},
    {"mixed_case", "ReQuIrE", LockPolicy::Require},
    {"ascii_space_around", " Require\n", LockPolicy::Require},
    {"all_ascii_space", "\t\n\v\f\r require \r\f\v\n\t", LockPolicy::Require},
    {"nel_nbsp", "\u0085\u00a0require\u00a0\u0085", LockPolicy::Require},
    {"ogham_en_quad_hair", "\u1680\u2000require\u200a", LockPolicy::Require},
    {"line_para_sep", "\u2028require\u2029", LockPolicy::Require},
    {"narrow_nbsp_math_ideo", "\u202f\u205frequire\u3000", LockPolicy::Require},
    {"zero_width_space_is_not_space", "\u200brequire", LockPolicy::BestEffort},
    {"bom_is_not_space", "\ufeffrequire", LockPolicy::BestEffort},
    {"inner_space", "re quire", LockPolicy::BestEffort},
    {"suffix", "require-strict", LockPolicy::BestEffort},
    {"required", "required", LockPolicy::BestEffort},
    {"prefix_only", "requir", LockPolicy::BestEffort},
    {"best_effort", "best-effort", LockPolicy::BestEffort},
    {"digit", "1", LockPolicy::BestEffort},
    {"non_ascii_fold", "requ\u0130re", LockPolicy::BestEffort},  // dotted capital I
    {"fullwidth", "\uff52equire", LockPolicy::BestEffort},
    {"invalid_utf8_after", "require\xff", LockPolicy::BestEffort},
    {"invalid_utf8_before", "\xc3require", LockPolicy::BestEffort},
    {"overlong_space", "\xc0\xa0require", LockPolicy::BestEffort},
    {"surrogate", "\xed\xa0\x80require", LockPolicy::BestEffort},
    {"truncated_at_end", "require \xe2\x80", LockPolicy::BestEffort},
};

INSTANTIATE_TEST_SUITE_P(Values, PolicyParse, ::testing::ValuesIn(POLICY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Policy, Names) {
    EXPECT_STREQ(lock_policy_name(LockPolicy::Require), "require");
    EXPECT_STREQ(lock_policy_name(LockPolicy::BestEffort), "best-effort");
}

// ---------------------------------------------------------------------------
// Constant-time helpers

TEST(ConstantTime, BytesEqual) {
    const std::uint8_t a[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (std::size_t pos = 0; pos < sizeof a; ++pos) {
        for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
            std::uint8_t b[sizeof a];
            std::memcpy(b, a, sizeof a);
            b[pos] ^= flip;
            EXPECT_EQ(ct::bytes_equal(a, b, sizeof a), 0u) << pos << " " << int(flip);
            // Bytes before the difference still compare equal.
            EXPECT_EQ(ct::bytes_equal(a, b, pos), 0xFFFFFFFFu) << pos;
        }
    }
    EXPECT_EQ(ct::bytes_equal(a, a, sizeof a), 0xFFFFFFFFu);
    EXPECT_EQ(ct::bytes_equal(nullptr, nullptr, 0), 0xFFFFFFFFu);
    const std::uint8_t zeros[4] = {}, ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ct::bytes_equal(zeros, ff, 4), 0u);
}

TEST(ConstantTime, EqMask) {
    EXPECT_EQ(ct::eq_mask(0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ct::eq_mask(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(ct::eq_mask(0, 1), 0u);
    EXPECT_EQ(ct::eq_mask(0x80000000u, 0), 0u);
    EXPECT_EQ(ct::eq_mask(0xFFFFFFFFu, 0x7FFFFFFFu), 0u);
    constexpr std::uint64_t ONES = ~std::uint64_t{0};
    EXPECT_EQ(ct::eq_mask64(0, 0), ONES);
    EXPECT_EQ(ct::eq_mask64(ONES, ONES), ONES);
    EXPECT_EQ(ct::eq_mask64(0, 1), 0u);
    EXPECT_EQ(ct::eq_mask64(std::uint64_t{1} << 63, 0), 0u);
    EXPECT_EQ(ct::eq_mask64(std::uint64_t{1} << 32, 0), 0u);  // above the 32-bit helper's reach
}

TEST(ConstantTime, SelectBytes) {
    const std::uint8_t a[] = {0x00, 0x11, 0xFF, 0x5A};
    const std::uint8_t b[] = {0xFF, 0xEE, 0x00, 0xA5};
    std::uint8_t out[4];
    ct::select_bytes(out, a, b, 4, 0xFF);
    EXPECT_EQ(0, std::memcmp(out, a, 4));
    ct::select_bytes(out, a, b, 4, 0x00);
    EXPECT_EQ(0, std::memcmp(out, b, 4));
    // In place over one of the inputs.
    std::uint8_t c[4];
    std::memcpy(c, b, 4);
    ct::select_bytes(c, a, c, 4, 0xFF);
    EXPECT_EQ(0, std::memcmp(c, a, 4));
}

// ---------------------------------------------------------------------------
// ZeroizingBuffer

TEST(ZeroizingBuffer, EmptyAllocatesNothing) {
    ZeroizingBuffer b(0);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_TRUE(ZeroizingBuffer::copy_of({}).empty());
}

TEST(ZeroizingBuffer, CopyMoveAndTruncate) {
    const std::uint8_t src[] = {9, 8, 7, 6, 5};
    ZeroizingBuffer b = ZeroizingBuffer::copy_of(src);
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(0, std::memcmp(b.data(), src, 5));

    ZeroizingBuffer moved(std::move(b));
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.data(), nullptr);
    ASSERT_EQ(moved.size(), 5u);

    std::uint8_t* storage = moved.data();
    moved.truncate(2);
    EXPECT_EQ(moved.size(), 2u);
    EXPECT_EQ(moved.span().size(), 2u);
    EXPECT_EQ(moved[0], 9);
    EXPECT_EQ(moved[1], 8);
    // The cut tail is wiped at once, while still allocated.
    EXPECT_EQ(storage[2], 0);
    EXPECT_EQ(storage[3], 0);
    EXPECT_EQ(storage[4], 0);
    moved.truncate(10);  // never grows
    EXPECT_EQ(moved.size(), 2u);

    ZeroizingBuffer other(3);
    other = std::move(moved);
    EXPECT_EQ(other.size(), 2u);
    EXPECT_EQ(other[0], 9);
}

TEST(ZeroizingBuffer, SizedConstructorIsZeroed) {
    ZeroizingBuffer b(64);
    for (std::size_t i = 0; i < b.size(); ++i) ASSERT_EQ(b[i], 0);
}

TEST(SecureZero, ClearsEveryByte) {
    std::uint8_t buf[37];
    std::memset(buf, 0xCC, sizeof buf);
    secure_zero(buf + 1, 35);
    EXPECT_EQ(buf[0], 0xCC);
    for (int i = 1; i < 36; ++i) EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[36], 0xCC);
}

// ---------------------------------------------------------------------------
// Messages

struct MessageCase {
    const char* name;
    EnclaveError error;
    const char* text;
};

class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, Text) { EXPECT_EQ(format_message(GetParam().error), GetParam().text); }

const MessageCase MESSAGES[] = {
    {"wiped", EnclaveError::of(ErrorKind::Wiped),
     "secret box was wiped \u00b7 a caixa de segredo foi apagada"},
    {"fork_child", EnclaveError::of(ErrorKind::ForkChild),
     "secret box is empty in this fork() child; secrets never survive a fork \u00b7 a caixa "
     "est\u00e1 vazia neste filho de fork(); segredos nunca sobrevivem a um fork"},
    {"lock_required_enomem", EnclaveError::lock_required(12),
     "mlock failed (errno 12) and VELMORA_MEMORY_LOCK=require; raise `ulimit -l` or grant "
     "CAP_IPC_LOCK \u00b7 mlock falhou (errno 12) com VELMORA_MEMORY_LOCK=require; aumente "
     "`ulimit -l` ou conceda CAP_IPC_LOCK"},
    {"lock_required_negative", EnclaveError::lock_required(-1),
     "mlock failed (errno -1) and VELMORA_MEMORY_LOCK=require; raise `ulimit -l` or grant "
     "CAP_IPC_LOCK \u00b7 mlock falhou (errno -1) com VELMORA_MEMORY_LOCK=require; aumente "
     "`ulimit -l` ou conceda CAP_IPC_LOCK"},
    {"allocation_failed", EnclaveError::of(ErrorKind::AllocationFailed),
     "could not allocate a locked page \u00b7 n\u00e3o foi poss\u00edvel alocar uma p\u00e1gina "
     "travada"},
    {"empty_secret", EnclaveError::of(ErrorKind::EmptySecret),
     "a secret cannot be empty \u00b7 um segredo n\u00e3o pode ser vazio"},
    {"wrong_length_nonce", EnclaveError::wrong_length("aes-gcm nonce", 12, 8),
     "aes-gcm nonce: expected 12 bytes, got 8 \u00b7 esperava 12 bytes, recebeu 8"},
    {"wrong_length_big", EnclaveError::wrong_length("encapsulation", 1120, UINT64_MAX),
     "encapsulation: expected 1120 bytes, got 18446744073709551615 \u00b7 esperava 1120 bytes, "
     "recebeu 18446744073709551615"},
    {"key_rejected", EnclaveError::of(ErrorKind::KeyRejected),
     "key failed validation \u00b7 chave falhou na valida\u00e7\u00e3o"},
    {"open_failed", EnclaveError::of(ErrorKind::OpenFailed),
     "ciphertext did not open \u00b7 ciphertext n\u00e3o abriu"},
    {"stream_finished", EnclaveError::of(ErrorKind::StreamFinished),
     "stream already finished \u00b7 stream j\u00e1 terminou"},
    {"malformed", EnclaveError::malformed("json field"),
     "malformed json field \u00b7 json field malformado"},
    {"rng_failed", EnclaveError::of(ErrorKind::RngFailed),
     "operating system RNG failed \u00b7 RNG do sistema operacional falhou"},
    // A failed seal has its own kind but keeps the words callers always saw.
    {"seal_failed", EnclaveError::of(ErrorKind::SealFailed),
     "ciphertext did not open \u00b7 ciphertext n\u00e3o abriu"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, Message, ::testing::ValuesIn(MESSAGES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
