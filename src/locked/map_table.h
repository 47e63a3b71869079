// The process's table of memory mappings, which every region draws on: a
// region is refused while it would leave the rest of the process fewer than a
// reserve of entries, so that threads, imports and the allocators keep working
// when secrets fill the table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Entries a region can add to the mapping table: its data area between two
// guard pages. A guard page that borders another region's merges with it.
inline constexpr std::int64_t REGION_MAP_ENTRIES = 3;

// Entries kept free for the rest of the process out of a table of `limit`
// entries (vm.max_map_count).
std::int64_t map_reserve_for(std::int64_t limit);

// Before a region is mapped: claims its entries, or false when it would leave
// fewer than the reserve (nothing is claimed then).
bool claim_region_entries();
// The claimed mapping could not be made.
void drop_region_claim();
// The claimed mapping exists at [base, base + len).
void note_region_mapped(const void* base, std::size_t len);
// The mapping at [base, base + len) is about to be unmapped.
void note_region_unmapping(const void* base, std::size_t len);

// For tests: what the table is believed to hold now (the last count plus what
// our regions changed since), and the count itself taken afresh. Both are -1
// where the table cannot be read.
struct MapTableView {
    std::int64_t limit;     // vm.max_map_count
    std::int64_t reserve;   // map_reserve_for(limit)
    std::int64_t estimate;  // entries in use, as believed
    std::int64_t regions;   // of which our regions' own
};
MapTableView map_table_view();
// Counts the table now (/proc/self/maps) and takes that as the new basis.
std::int64_t recount_map_table();

}  // namespace velmora
