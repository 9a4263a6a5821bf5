#pragma once
// How the copy renumbers table Ids: a table's Id is the page of its
// definition, and the copy moves definitions.

#include <cstdint>
#include <map>

namespace jet {

// Ids above this carry flags in their high byte (links of other databases):
// they name no page and are never moved.
inline constexpr std::uint32_t kMaxTableId = 0x00FFFFFF;

struct IdRemap {
    std::map<std::uint32_t, std::uint32_t> tables;  // old TDEF page -> new TDEF page
    std::map<std::uint32_t, std::uint32_t> stale;   // stale Id -> replacement

    // The new value of an Id column holding `value`.
    std::int64_t apply(std::int64_t value) const {
        if (value <= 0 || value > kMaxTableId) {
            return value;
        }
        const auto v = static_cast<std::uint32_t>(value);
        if (auto it = tables.find(v); it != tables.end()) {
            return it->second;
        }
        if (auto it = stale.find(v); it != stale.end()) {
            return it->second;
        }
        return value;
    }
};

}  // namespace jet
