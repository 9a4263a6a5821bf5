#pragma once
// Verification of a compacted file against its source, before it is given
// the destination's name.
//
// The output must pass the structural checker in its strict form with
// nothing at all to report, every table must have the same definition
// (columns, indexes, relationships, counters) with its Ids moved as the
// compaction moved them, and the same rows: compared as multisets, every
// column decoded (long values and fixed binary columns included), the Id
// columns of the source taken through the same Id map, the SIDs of each
// side unmasked under its own page 0 (so a copy whose SIDs do not match its
// password is refused).
//
// Rows are compared through digests, in constant memory per table: each row
// is put in a canonical form that does not depend on how its values are
// stored (text compressed or not, long values inline, in one row or in a
// chain cut anywhere, a row behind an overflow pointer or not), the form is
// hashed to 128 bits, and a table's digest is its row count and the
// wrap-around sums of the two 64-bit halves of its rows' hashes. Sums, not
// xor: a row that appears twice must count twice, so that {A, A} and {B, B}
// differ.

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jet/check/checker.h"
#include "jet/compact/id_remap.h"
#include "jet/format/bytes.h"
#include "jet/format/page_file.h"
#include "jet/format/sid_mask.h"

namespace jet {

class Database;
struct TableDef;

struct RowHash {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    bool operator==(const RowHash&) const = default;
};

// A 128-bit hash of `n` bytes (MurmurHash3's x64 128-bit function).
RowHash hash128(const std::uint8_t* data, std::size_t n);

// The digest of a table's rows: order-independent as a multiset (its count
// and sums), and beside it a hash of the sequence, for the tables whose row
// order carries meaning (see written_in_scan_order).
struct TableDigest {
    std::uint64_t rows = 0;
    std::uint64_t sum_lo = 0;
    std::uint64_t sum_hi = 0;
    std::uint64_t sequence = 0;

    void add(const RowHash& h) {
        ++rows;
        sum_lo += h.lo;
        sum_hi += h.hi;
        sequence = (sequence ^ h.lo) * 0x9E3779B97F4A7C15ull + h.hi;
        sequence ^= sequence >> 29;
    }
    // The same multiset of rows, whatever their order.
    bool operator==(const TableDigest& o) const {
        return rows == o.rows && sum_lo == o.sum_lo && sum_hi == o.sum_hi;
    }
};

// The canonical form of the rows of one table, and its hash. Values are
// read straight from the row's bytes (and the long-value pages of `file`);
// nothing is allocated per row but the buffers of long values stored
// outside their row. `ids` (the source side) maps the Id columns of the
// system tables; without it Id values are taken as they are. `sids` (the
// mask of the file's own page 0) unmasks the SID columns; without it they
// are taken as they are.
class RowDigester {
  public:
    // `by_value`: hash every row in its canonical form, also where the
    // table's rows could be hashed as they are stored (a copy whose rows were
    // written in another layout: widen_row).
    RowDigester(const PageFile& file, const TableDef& def, const std::string& table,
                const IdRemap* ids, const SidMask* sids = nullptr, bool by_value = false);

    // The hash of the row `row`, found at `at` (named in descriptions).
    // Throws Error(damaged) with the reader's own description when the row
    // or one of its long values cannot be read.
    //
    // A table without long values, Id columns or SIDs is copied row for row,
    // byte for byte: its rows are hashed as they are stored, which compares
    // them more strictly than by value, at a fraction of the cost. Whether
    // they decode is the checks' question (the source's and the copy's).
    // Other tables are hashed in a canonical form of their values.
    RowHash digest(Bytes row, RowPointer at);

  private:
    void canonical_form(Bytes row);
    void append_text(Bytes stored);
    void append_units(const std::uint8_t* data, std::size_t units);
    void append_bytes(Bytes value);
    void append_long_value(Bytes descriptor, bool text);
    [[noreturn]] void fail_like_reader(Bytes row, RowPointer at) const;

    const PageFile& file_;
    const TableDef& def_;
    std::vector<bool> id_column_;
    const IdRemap* ids_;
    std::vector<bool> sid_column_;
    const SidMask* sids_;
    bool whole_rows_ = true;
    std::vector<std::uint8_t> form_;  // the canonical form of the current row
};

// The digest of every live row of table `def` of `db`, its SIDs unmasked
// under `db`'s page 0. `cancel`, when given and set, stops the walk with
// OperationCancelled.
// `by_value` as for RowDigester.
TableDigest digest_table(const Database& db, const TableDef& def, const std::string& table,
                         const IdRemap* ids, const std::atomic<bool>* cancel = nullptr,
                         bool by_value = false);

struct OperationCancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

// Table digests by the page of the table's definition.
using TableDigests = std::map<std::uint32_t, TableDigest>;

// Digests tables of a file (a compacted copy) in a thread of its own, over a
// Database of its own (a Database is for one thread at a time) that reads
// through the handle and cache of `file` (which must outlive the task).
// `tables` lists the pages of the definitions and the tables' names.
// The destructor stops the thread and waits for it (a few rows at most).
class DigestTask {
  public:
    // `cipher`: OpenOptions::cipher of the Database it opens.
    // `by_value`: the pages of the tables digested by value (RowDigester).
    DigestTask(const PageFile& file, std::vector<std::pair<std::uint32_t, std::string>> tables,
               std::shared_ptr<const PageCipher> cipher = nullptr,
               std::set<std::uint32_t> by_value = {});
    ~DigestTask();
    DigestTask(const DigestTask&) = delete;
    DigestTask& operator=(const DigestTask&) = delete;

    // Waits for the thread; rethrows what stopped it.
    TableDigests take();

  private:
    void run(const PageFile& file, const std::vector<std::pair<std::uint32_t, std::string>>& tables,
             std::shared_ptr<const PageCipher> cipher, const std::set<std::uint32_t>& by_value);

    std::atomic<bool> cancel_{false};
    TableDigests digests_;
    std::exception_ptr error_;
    std::thread thread_;
};

// The local tables of `db` (MSysObjects included), to digest.
std::vector<std::pair<std::uint32_t, std::string>> digest_jobs(const Database& db);

// The digests of a source's tables, taken in by the walk of its check
// (CheckOptions::rows), so that its rows are read once for both: the tables
// of `tables` (digest_jobs) but those with Id columns, which are digested
// once the Id map is known, and those with SIDs (small system tables, left
// to verify_compacted too). Every row of a table the check walks is
// digested as for_each_row would give it; a table the check does not walk
// is left out.
class SourceDigests final : public RowObserver {
  public:
    explicit SourceDigests(const std::vector<std::pair<std::uint32_t, std::string>>& tables);

    void table(std::uint32_t page, const std::string& name, const TableDef& def,
               const PageFile& file) override;
    void row(RowPointer at, Bytes data) override;

    // Once the check has returned: the digests, or the first failure to
    // digest a row (its description the reader's) rethrown.
    TableDigests take();

  private:
    std::map<std::uint32_t, std::string> wanted_;
    std::optional<RowDigester> digester_;
    TableDigest* current_ = nullptr;
    TableDigests digests_;
    std::exception_ptr error_;
};

// Throws Error(verification_failed) describing the first difference found;
// `destination` names the file the copy was meant for.
// Stale Ids are data the source holds and the compaction keeps: when the
// source has them (`stale_ids_allowed`) the checker's "stale-id" notes are
// expected and tolerated; nothing else is.
// `source_digests` (may be null) holds digests of source tables computed
// beforehand (those without Id columns); the others are computed here.
// `raised_counters` (may be null) names the tables, by the source's TDEF
// page, whose autonumber counter the compaction raised, with the new value;
// every other counter must be the source's. `widened` (may be null) names
// the tables, by the source's TDEF page, whose rows the compaction wrote
// with columns they lacked: those are compared by value on both sides (a
// digest of `source_digests` for one is not used).
void verify_compacted(const Database& source, const Database& output, const IdRemap& ids,
                      bool stale_ids_allowed, const std::string& destination,
                      const TableDigests* source_digests = nullptr,
                      const std::map<std::uint32_t, std::uint32_t>* raised_counters = nullptr,
                      const std::set<std::uint32_t>* widened = nullptr);

}  // namespace jet
