#pragma once
// What the compactor reads of a source table: its live rows, and the source's
// pages as it fetches them in key order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/data_page.h"
#include "jet/format/page_file.h"

namespace jet {

// Pages of the source, 256 at a time, decoded as data pages when
// asked for (rows are read in key order, which mostly follows storage
// order: PageFile reads ahead where it does).
class PageCache {
  public:
    explicit PageCache(const PageFile& file);

    // Page n as a data page. Throws Error(damaged) when it is none or lies
    // past the end of the file, Error(io) when it cannot be read.
    const DataPage& data_page(std::uint32_t n);
    Bytes row(RowPointer p) { return data_page(p.page).row(p.row); }

  private:
    static constexpr std::size_t kSlots = 256;
    struct Slot {
        std::uint32_t number = 0;
        bool loaded = false;
        PageBuf raw{};
        std::optional<DataPage> page;
    };
    const PageFile& file_;
    std::vector<Slot> slots_;
};

// The live rows of one table: their slots (what index entries name) as
// encoded row pointers in ascending order, and where the bytes of moved rows
// are. Four bytes a row, so that a table of millions of rows costs a few
// tens of megabytes.
class LiveRows {
  public:
    void add(RowPointer slot, RowPointer data) {
        if (!dir_.empty()) {
            drop_index();
        }
        sorted_ = sorted_ && (slots_.empty() || slots_.back() < slot.encode());
        slots_.push_back(slot.encode());
        if (!(data == slot)) {
            moved_.emplace_back(slot.encode(), data.encode());
        }
    }
    std::size_t size() const { return slots_.size(); }
    void reserve(std::size_t n) { slots_.reserve(n); }
    bool sorted() const { return sorted_; }
    std::uint32_t slot(std::size_t i) const { return slots_[i]; }

    // Where the bytes of row i are (its own slot unless it was moved).
    RowPointer data(std::size_t i) const;

    // Sorts the slots where the owned pages did not come in ascending order;
    // `sizes` (one per row, may be empty) follows.
    void sort(std::vector<std::uint16_t>& sizes);

    // A directory from page to its first row, for find(); rebuilt on demand.
    void index();
    void drop_index() { std::vector<std::uint32_t>().swap(dir_); }

    // The position of the row in slot `p`, or npos when it is no live row
    // (or index() was not called since the last change).
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t find(RowPointer p) const;
    // find() of each of `rows` into `out` (as many). The lookups of an
    // index's entries, which seldom follow storage order, miss the
    // processor's caches: a batch waits for its misses side by side.
    void find_many(const RowPointer* rows, std::size_t count, std::size_t* out) const;

    void clear();

  private:
    std::vector<std::uint32_t> slots_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moved_;  // slot -> data, by slot
    bool sorted_ = true;
    std::vector<std::uint32_t> dir_;
    std::uint32_t base_ = 0;
};

// Rows named by index entries, gathered to be looked up together
// (LiveRows::find_many).
class RowLookups {
  public:
    static constexpr std::size_t kBatch = 32;
    // Adds the row of the next entry; true when the batch is full.
    bool add(RowPointer row) {
        rows_[count_++] = row;
        return count_ == kBatch;
    }
    std::size_t size() const { return count_; }
    // Looks the gathered rows up among `live`.
    void find_in(const LiveRows& live) { live.find_many(rows_.data(), count_, found_.data()); }
    // The position of the k-th row in `live` (LiveRows::npos: none).
    std::size_t found(std::size_t k) const { return found_[k]; }
    void clear() { count_ = 0; }

  private:
    std::array<RowPointer, kBatch> rows_{};
    std::array<std::size_t, kBatch> found_{};
    std::size_t count_ = 0;
};

}  // namespace jet
