#pragma once
// The checker's findings, one entry per stable code, with what a compaction
// does about each.
//
// Every finding falls in one of three kinds:
//   damage  the file contradicts itself in a way that loses, or may lose,
//           data: compaction refuses the file, and the source stays as it is;
//   stale   the data is whole and only a value derived from it is wrong:
//           compaction rebuilds the value in the copy and reports the repair;
//   normal  a state Jet itself leaves in normal use (leaked pages, stale row
//           counts and statistics, Ids of deleted objects): a note, and the
//           compaction rebuilds what it concerns as a matter of course.
// States that Jet or other writers produce and that read correctly (node
// entries above their subtree's last entry, a shared prefix reaching into the
// row pointer, a node level not linked across subtrees, an inline map
// starting at any page, pages below the global map's window) are no finding.

#include <string_view>

#include "jet/check/checker.h"

namespace jet {

// rebuild: damage confined to one index's tree or entries; the rows are
// whole, and compaction rebuilds the index from them when it can compute the
// index's keys (refusing the file otherwise).
// drop: something no reader of Jet's reaches (rows on pages out of their
// table's map that no index names); the copy leaves it out and says so.
enum class Remedy { refuse, mend, rebuild, drop, none };

struct FindingKind {
    std::string_view code;
    Severity severity;  // in an input; strict checking makes every finding an error
    Remedy remedy;
};

// The entry for `code`; nullptr for a code the checker does not use.
const FindingKind* finding_kind(std::string_view code);

// What compaction does about finding `f` of `report`: its kind's remedy,
// except that an index is rebuilt only when its keys can be computed (else
// the file is refused), and an unknown code is damage.
Remedy remedy_of(const Finding& f, const CheckReport& report);

// True when `report` holds damage that compaction refuses (data would be
// lost) and a salvage gets past all of it.
bool salvage_gets_past(const CheckReport& report);

// "refuse", "mend", "rebuild", "drop" or "none".
const char* remedy_name(Remedy r);

}  // namespace jet
