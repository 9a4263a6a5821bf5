#pragma once
// Verification of a compacted file against its source, before it is given
// the destination's name.
//
// The output must pass the structural checker in its strict form with
// nothing at all to report, every table must have the same definition
// (columns, indexes, relationships, counters) with its Ids moved as the
// compaction moved them, and the same rows: compared as multisets, every
// column decoded (long values and fixed binary columns included), the Id
// columns of the source taken through the same Id map.

#include <string>

#include "jet/compactor.h"

namespace jet {

class Database;

// Throws Error(verification_failed) describing the first difference found;
// `destination` names the file the copy was meant for.
// Stale Ids are data the source holds and the compaction keeps: when the
// source has them (`stale_ids_allowed`) the checker's "stale-id" notes are
// expected and tolerated; nothing else is.
void verify_compacted(const Database& source, const Database& output, const IdRemap& ids,
                      bool stale_ids_allowed, const std::string& destination);

}  // namespace jet
