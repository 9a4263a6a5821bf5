#pragma once
// The pages a database really uses, found by walking from the catalog (never
// by inverting the global free map), and who owns each of them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "jet/checker.h"

namespace jet {

class Database;

struct PageOwner {
    PageRole role = PageRole::header;
    std::uint32_t table = 0;  // TDEF page of the owning table (0 for pages 0 and 1)
};

// A page claimed by two owners (damage).
struct OwnershipConflict {
    std::uint32_t page = 0;
    PageOwner first;
    PageOwner second;
};

struct Liveness {
    std::map<std::uint32_t, PageOwner> owners;
    std::vector<OwnershipConflict> conflicts;
    // Pages named by catalog rows of type "table" that hold no table
    // definition (stale Ids); they own nothing.
    std::vector<std::uint32_t> stale_tables;
    bool is_live(std::uint32_t page) const { return owners.count(page) != 0; }
};

// Walks every table of the catalog (system tables included): TDEF chains,
// map-holder pages and 0x05 pages of every map, owned data pages, LVAL
// pages through LV maps and through every row's descriptors, index pages
// through index maps and by walking every index tree from its root.
// Map-holder pages may be shared by several tables (the first claim wins,
// no conflict). Throws Error(damaged) when a structure on the way does not
// decode.
Liveness compute_liveness(const Database& db);

}  // namespace jet
