#include "jet/compact/verify.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <set>
#include <thread>

#include "jet/check/checker.h"
#include "jet/compact/compactor.h"
#include "jet/format/catalog.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/long_value.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"
#include "jet/format/text.h"

namespace jet {

namespace {

std::uint64_t rotl(std::uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

std::uint64_t fmix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xFF51AFD7ED558CCDull;
    k ^= k >> 33;
    k *= 0xC4CEB9FE1A85EC53ull;
    k ^= k >> 33;
    return k;
}

// Eight bytes as a little-endian number: one load where that is the
// machine's order (the compiler does not see it in the loop).
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, 8);
        return v;
    }
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

constexpr std::uint64_t kC1 = 0x87C37B91114253D5ull;
constexpr std::uint64_t kC2 = 0x4CF5AD432745937Full;

// Thrown inside the fast path when a row does not look as the reader wants
// it; the reader is then asked to describe the damage.
struct NotAsTheReaderWants {};

const std::string kSomeRow = "a row";

}  // namespace

RowHash hash128(const std::uint8_t* data, std::size_t n) {
    std::uint64_t h1 = 0;
    std::uint64_t h2 = 0;
    const std::size_t blocks = n / 16;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint64_t k1 = load64(data + 16 * i);
        std::uint64_t k2 = load64(data + 16 * i + 8);
        k1 *= kC1;
        k1 = rotl(k1, 31);
        k1 *= kC2;
        h1 ^= k1;
        h1 = rotl(h1, 27);
        h1 += h2;
        h1 = h1 * 5 + 0x52DCE729;
        k2 *= kC2;
        k2 = rotl(k2, 33);
        k2 *= kC1;
        h2 ^= k2;
        h2 = rotl(h2, 31);
        h2 += h1;
        h2 = h2 * 5 + 0x38495AB5;
    }
    const std::uint8_t* tail = data + 16 * blocks;
    std::uint64_t k1 = 0;
    std::uint64_t k2 = 0;
    const std::size_t rest = n & 15;
    for (std::size_t i = rest; i > 8; --i) {
        k2 ^= static_cast<std::uint64_t>(tail[i - 1]) << (8 * (i - 9));
    }
    if (rest > 8) {
        k2 *= kC2;
        k2 = rotl(k2, 33);
        k2 *= kC1;
        h2 ^= k2;
    }
    for (std::size_t i = rest < 8 ? rest : 8; i > 0; --i) {
        k1 ^= static_cast<std::uint64_t>(tail[i - 1]) << (8 * (i - 1));
    }
    if (rest > 0) {
        k1 *= kC1;
        k1 = rotl(k1, 31);
        k1 *= kC2;
        h1 ^= k1;
    }
    h1 ^= n;
    h2 ^= n;
    h1 += h2;
    h2 += h1;
    h1 = fmix(h1);
    h2 = fmix(h2);
    h1 += h2;
    h2 += h1;
    return RowHash{h1, h2};
}

RowDigester::RowDigester(const PageFile& file, const TableDef& def, const std::string& table,
                         const IdRemap* ids, const SidMask* sids, bool by_value)
    : file_(file), def_(def), ids_(ids), sids_(sids), whole_rows_(!by_value) {
    for (const Column& c : def.columns) {
        id_column_.push_back(is_id_column(table, c.name));
        sid_column_.push_back(is_sid_column(table, c.name));
        whole_rows_ =
            whole_rows_ && !c.is_long_value() && !id_column_.back() && !sid_column_.back();
    }
    form_.reserve(256);
}

RowHash RowDigester::digest(Bytes row, RowPointer at) {
    if (whole_rows_) {
        return hash128(row.data(), row.size());
    }
    try {
        canonical_form(row);
    } catch (const NotAsTheReaderWants&) {
        fail_like_reader(row, at);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::damaged) {
            throw;
        }
        fail_like_reader(row, at);
    }
    return hash128(form_.data(), form_.size());
}

void RowDigester::fail_like_reader(Bytes row, RowPointer at) const {
    const std::string what = "row " + std::to_string(at.row) + " of " + file_.where(at.page) +
                             " (table \"" + def_.name_hint + "\")";
    decode_row(file_, def_, row, what);
    // The reader took it: the fast path has a fault of its own.
    throw Error(ErrorKind::damaged, "The " + what +
                                        " can be read but not compared with its copy; this is a "
                                        "fault of the program, not of the database.");
}

void RowDigester::append_units(const std::uint8_t* data, std::size_t units) {
    const auto count = static_cast<std::uint32_t>(units);
    const std::size_t at = form_.size();
    form_.resize(at + 4 + 2 * units);
    std::memcpy(form_.data() + at, &count, 4);
    if (units != 0) {
        std::memcpy(form_.data() + at + 4, data, 2 * units);
    }
}

// Text as its UTF-16 code units (little-endian), whatever way it is stored:
// plain UTF-16LE (an odd last byte means nothing) or compressed (FF FE, then
// runs of one-byte characters and two-byte characters switched at every 00).
void RowDigester::append_text(Bytes stored) {
    if (stored.size() < 2 || stored[0] != 0xFF || stored[1] != 0xFE) {
        append_units(stored.data(), stored.size() / 2);
        return;
    }
    const std::size_t at = form_.size();
    form_.resize(at + 4);
    std::size_t units = 0;
    for_each_compressed_unit(stored, [&](std::uint16_t u) {
        form_.push_back(static_cast<std::uint8_t>(u));
        form_.push_back(static_cast<std::uint8_t>(u >> 8));
        ++units;
    });
    const auto count = static_cast<std::uint32_t>(units);
    std::memcpy(form_.data() + at, &count, 4);
}

void RowDigester::append_bytes(Bytes value) {
    const auto n = static_cast<std::uint32_t>(value.size());
    const std::size_t at = form_.size();
    form_.resize(at + 4);
    std::memcpy(form_.data() + at, &n, 4);
    form_.insert(form_.end(), value.begin(), value.end());
}

void RowDigester::append_long_value(Bytes descriptor, bool text) {
    const LongValueDescriptor lv = LongValueDescriptor::parse(descriptor, kSomeRow);
    Bytes value = lv.inline_data;
    std::vector<std::uint8_t> stored;
    if (static_cast<LongValueKind>(lv.kind) != LongValueKind::inline_value) {
        stored = read_long_value(file_, lv, kSomeRow);
        value = Bytes(stored.data(), stored.size());
    }
    if (text) {
        append_text(value);
    } else {
        append_bytes(value);
    }
}

// The canonical form: per column, in definition order, a presence byte and
// then the value: integers as 64-bit (Id columns mapped), other fixed values
// as their bytes (a decimal's sign bit and magnitude), text and memo as
// UTF-16 code units, binary and OLE data as bytes, the variable ones with
// their length first. The layout checks are the reader's; where one fails,
// the reader is asked to describe the row.
void RowDigester::canonical_form(Bytes row) {
    form_.clear();
    // The reader's own layout: a row it would not take fails here too (and
    // is then described by it, see digest()).
    const RowLayout layout = parse_row_layout(def_, row, kSomeRow);
    for (std::size_t ci = 0; ci < def_.columns.size(); ++ci) {
        const Column& c = def_.columns[ci];
        const auto type = static_cast<ColumnType>(c.type);
        if (type == ColumnType::boolean) {
            form_.push_back(layout.not_null(c.number) ? 1 : 0);
            continue;
        }
        const std::optional<ColumnSpan> span = locate_column(c, layout, row, kSomeRow);
        if (!span) {
            form_.push_back(0);
            continue;
        }
        const std::size_t width = value_width(c.type);
        const std::size_t start = span->offset;
        const std::size_t length = span->length;
        const std::uint8_t* d = row.data() + start;
        if (c.is_long_value()) {
            // Memo and OLE values, and calculated memo results, by value
            // wherever they are stored.
            form_.push_back(1);
            append_long_value(Bytes(d, length), type == ColumnType::memo);
            continue;
        }
        if (c.is_calculated()) {
            // The stored wrapper whatever the type byte says: all its bytes.
            form_.push_back(1);
            append_bytes(Bytes(d, length));
            continue;
        }
        if (width != 0 && length < width) {
            throw NotAsTheReaderWants{};
        }
        form_.push_back(1);
        switch (type) {
            case ColumnType::byte:
            case ColumnType::integer:
            case ColumnType::long_integer: {
                std::int64_t v = 0;
                if (type == ColumnType::byte) {
                    v = d[0];
                } else if (type == ColumnType::integer) {
                    v = static_cast<std::int16_t>(static_cast<std::uint16_t>(d[0] | (d[1] << 8)));
                } else {
                    v = static_cast<std::int32_t>(static_cast<std::uint32_t>(d[0]) |
                                                  (static_cast<std::uint32_t>(d[1]) << 8) |
                                                  (static_cast<std::uint32_t>(d[2]) << 16) |
                                                  (static_cast<std::uint32_t>(d[3]) << 24));
                }
                if (ids_ != nullptr && id_column_[ci]) {
                    v = ids_->apply(v);
                }
                const std::size_t at = form_.size();
                form_.resize(at + 8);
                std::memcpy(form_.data() + at, &v, 8);
                break;
            }
            case ColumnType::money:
            case ColumnType::single:
            case ColumnType::double_:
            case ColumnType::datetime:
            case ColumnType::guid:
                form_.insert(form_.end(), d, d + width);
                break;
            case ColumnType::numeric:
                form_.push_back(d[0] & 0x80);
                form_.insert(form_.end(), d + 1, d + 17);
                break;
            case ColumnType::text:
                append_text(Bytes(d, length));
                break;
            default:
                append_bytes(Bytes(d, length));
                if (sids_ != nullptr && sid_column_[ci]) {
                    // Compared unmasked, each file under its own page 0.
                    sids_->apply(MutableBytes(form_).last(length));
                }
                break;
        }
    }
}

TableDigest digest_table(const Database& db, const TableDef& def, const std::string& table,
                         const IdRemap* ids, const std::atomic<bool>* cancel, bool by_value) {
    std::optional<SidMask> sids;
    // Jet 3 SIDs are compared as stored: its password never changes in a copy.
    const bool masked = !db.header().format().is_jet3();
    for (const Column& c : def.columns) {
        if (masked && !sids && is_sid_column(table, c.name)) {
            sids.emplace(sid_key(db.header().plain));
        }
    }
    RowDigester digester(db.file(), def, table, ids, sids ? &*sids : nullptr, by_value);
    TableDigest digest;
    db.for_each_row(def, [&](const RowRef& r) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
            throw OperationCancelled{};
        }
        digest.add(digester.digest(r.bytes, r.data));
    });
    return digest;
}

std::vector<std::pair<std::uint32_t, std::string>> digest_jobs(const Database& db) {
    std::vector<std::pair<std::uint32_t, std::string>> jobs;
    jobs.emplace_back(kCatalogPage, "MSysObjects");
    for (const auto& obj : db.catalog().objects()) {
        // A stale Id (a dropped table's row) names no definition to digest.
        if (obj.names_definition() && obj.table_page() != kCatalogPage &&
            db.holds_table_def(obj.table_page())) {
            jobs.emplace_back(obj.table_page(), obj.name);
        }
    }
    return jobs;
}

DigestTask::DigestTask(const PageFile& file,
                       std::vector<std::pair<std::uint32_t, std::string>> tables,
                       std::shared_ptr<const PageCipher> cipher, std::set<std::uint32_t> by_value) {
    thread_ = std::thread([this, &file, tables = std::move(tables), cipher = std::move(cipher),
                           by_value = std::move(by_value)] {
        try {
            run(file, tables, cipher, by_value);
        } catch (const OperationCancelled&) {
        } catch (...) {
            error_ = std::current_exception();
        }
    });
}

DigestTask::~DigestTask() {
    cancel_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
}

TableDigests DigestTask::take() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (error_) {
        std::rethrow_exception(error_);
    }
    return std::move(digests_);
}

void DigestTask::run(const PageFile& file,
                     const std::vector<std::pair<std::uint32_t, std::string>>& tables,
                     std::shared_ptr<const PageCipher> cipher,
                     const std::set<std::uint32_t>& by_value) {
    OpenOptions options;
    options.verify_password = false;
    options.cipher = std::move(cipher);
    options.share = &file;
    const Database db(file.path(), options);
    for (const auto& [page, name] : tables) {
        digests_[page] = digest_table(db, db.table_def(page), name, nullptr, &cancel_,
                                      by_value.count(page) != 0);
    }
}

SourceDigests::SourceDigests(const std::vector<std::pair<std::uint32_t, std::string>>& tables)
    : wanted_(tables.begin(), tables.end()) {}

void SourceDigests::table(std::uint32_t page, const std::string&, const TableDef& def,
                          const PageFile& file) {
    digester_.reset();
    current_ = nullptr;
    digests_.erase(page);
    const auto it = wanted_.find(page);
    if (it == wanted_.end()) {
        return;
    }
    // Named as the catalog names it: the Id and SID columns are known by
    // their table's name.
    const std::string& name = it->second;
    for (const Column& c : def.columns) {
        if (is_id_column(name, c.name) || is_sid_column(name, c.name)) {
            return;
        }
    }
    digester_.emplace(file, def, name, nullptr);
    current_ = &digests_[page];
}

void SourceDigests::row(RowPointer at, Bytes data) {
    if (current_ == nullptr || error_) {
        return;
    }
    try {
        current_->add(digester_->digest(data, at));
    } catch (const Error&) {
        error_ = std::current_exception();
    }
}

TableDigests SourceDigests::take() {
    if (error_) {
        std::rethrow_exception(error_);
    }
    return std::move(digests_);
}

namespace {

[[noreturn]] void fail(const std::string& destination, const std::string& what) {
    throw Error(ErrorKind::verification_failed,
                "The compacted copy for \"" + destination + "\" did not verify: " + what +
                    " The copy was discarded and nothing was replaced; the source is unchanged.");
}

void compare_definitions(const TableDef& a, const TableDef& b, const std::string& table,
                         const IdRemap& ids, std::uint32_t counter,
                         const std::string& destination) {
    auto differ = [&](const std::string& what) {
        fail(destination, "the definition of table \"" + table + "\" differs (" + what + ").");
    };
    if (counter != b.autonumber || a.table_type != b.table_type || a.max_columns != b.max_columns ||
        a.var_column_count != b.var_column_count || a.column_count != b.column_count) {
        differ("counters or column counts");
    }
    if (a.columns.size() != b.columns.size()) {
        differ("number of columns");
    }
    for (std::size_t i = 0; i < a.columns.size(); ++i) {
        const Column& x = a.columns[i];
        const Column& y = b.columns[i];
        if (x.type != y.type || x.number != y.number || x.var_index != y.var_index ||
            x.unknown_index != y.unknown_index || x.misc != y.misc || x.misc_ext != y.misc_ext ||
            x.flags != y.flags || x.ext_flags != y.ext_flags || x.fixed_offset != y.fixed_offset ||
            x.length != y.length || x.name != y.name) {
            differ("column \"" + x.name + "\"");
        }
    }
    if (a.real_indexes.size() != b.real_indexes.size() ||
        a.logical_indexes.size() != b.logical_indexes.size() ||
        a.long_value_maps.size() != b.long_value_maps.size()) {
        differ("number of indexes");
    }
    for (std::size_t i = 0; i < a.real_indexes.size(); ++i) {
        const RealIndex& x = a.real_indexes[i];
        const RealIndex& y = b.real_indexes[i];
        bool same = x.flags == y.flags && x.unknown_42 == y.unknown_42 &&
                    x.columns.size() == y.columns.size() && x.stats.c == y.stats.c;
        for (std::size_t k = 0; same && k < x.columns.size(); ++k) {
            same = x.columns[k].number == y.columns[k].number &&
                   x.columns[k].order == y.columns[k].order;
        }
        if (!same) {
            differ("index " + std::to_string(i));
        }
    }
    for (std::size_t i = 0; i < a.logical_indexes.size(); ++i) {
        const LogicalIndex& x = a.logical_indexes[i];
        const LogicalIndex& y = b.logical_indexes[i];
        auto it = ids.tables.find(x.rel_table_page);
        // A relationship with a table the copy does not hold (a dropped
        // table's leftover) is left out, the index kept.
        const bool left_out = x.is_foreign_key() && it == ids.tables.end();
        LogicalIndex want = x;
        if (left_out) {
            want.rel_table_type = 0;
            want.rel_index = -1;
            want.rel_table_page = 0;
            want.cascade_updates = 0;
            want.cascade_deletes = 0;
            want.type = 0;
        } else if (x.rel_table_page != 0 && it != ids.tables.end()) {
            want.rel_table_page = it->second;
        }
        if (want.number != y.number || want.real_index != y.real_index ||
            want.rel_table_type != y.rel_table_type || want.rel_index != y.rel_index ||
            want.rel_table_page != y.rel_table_page || want.cascade_updates != y.cascade_updates ||
            want.cascade_deletes != y.cascade_deletes || want.type != y.type ||
            want.name != y.name) {
            differ("index \"" + x.name + "\"");
        }
    }
    for (std::size_t i = 0; i < a.long_value_maps.size(); ++i) {
        if (a.long_value_maps[i].column != b.long_value_maps[i].column ||
            (a.long_value_maps[i].owned.page == 0) != (b.long_value_maps[i].owned.page == 0) ||
            (a.long_value_maps[i].free.page == 0) != (b.long_value_maps[i].free.page == 0)) {
            differ("long-value maps");
        }
    }
}

// The catalog keeps its rows in their order: row for row, every one that
// names a table definition in the source names, in the copy, the definition
// the compaction moved it to (a linked table's cached one included).
void compare_catalogs(const Database& source, const Database& output, const IdRemap& ids,
                      const std::string& destination) {
    const auto& from = source.catalog().objects();
    const auto& to = output.catalog().objects();
    if (from.size() != to.size()) {
        fail(destination, "the catalog lists " + std::to_string(to.size()) +
                              " objects instead of " + std::to_string(from.size()) + ".");
    }
    for (std::size_t i = 0; i < from.size(); ++i) {
        const CatalogObject& a = from[i];
        const CatalogObject& b = to[i];
        if (a.name != b.name || a.type != b.type) {
            fail(destination, "the catalog row of \"" + a.name + "\" differs.");
        }
        if (!a.names_definition() || a.id <= 0 || !source.holds_table_def(a.table_page())) {
            continue;  // names no definition: a stale Id, kept as data
        }
        const auto moved = ids.tables.find(a.table_page());
        if (moved == ids.tables.end() || b.table_page() != moved->second || !b.names_definition() ||
            !output.holds_table_def(b.table_page())) {
            fail(destination, "the catalog row of \"" + a.name +
                                  "\" names the table definition at " +
                                  source.where(a.table_page()) +
                                  " in the source, but no definition of it in the copy.");
        }
    }
}

}  // namespace

void verify_compacted(const Database& source, const Database& output, const IdRemap& ids,
                      bool stale_ids_allowed, const std::string& destination,
                      const TableDigests* source_digests,
                      const std::map<std::uint32_t, std::uint32_t>* raised_counters,
                      const std::set<std::uint32_t>* widened) {
    auto was_widened = [&](std::uint32_t page) {
        return widened != nullptr && widened->count(page) != 0;
    };
    std::map<std::uint32_t, std::string> names;  // by the source's page
    for (const auto& [from, to] : ids.tables) {
        names[from] = "MSysObjects";
    }
    for (const auto& obj : source.catalog().objects()) {
        if (obj.names_definition() && names.count(obj.table_page()) != 0) {
            names[obj.table_page()] = obj.name;
        }
    }
    // The output's rows are digested in a second thread while the checker
    // reads the output here.
    std::vector<std::pair<std::uint32_t, std::string>> output_jobs;
    std::set<std::uint32_t> by_value;
    for (const auto& [from, to] : ids.tables) {
        output_jobs.emplace_back(to, names[from]);
        if (was_widened(from)) {
            by_value.insert(to);
        }
    }
    DigestTask output_digests(output.file(), std::move(output_jobs), output.file().cipher(),
                              std::move(by_value));

    CheckOptions strict;
    strict.strict = true;
    strict.threads = std::max(2u, std::thread::hardware_concurrency());
    const CheckReport report = check(output, strict);
    for (const auto& f : report.findings) {
        // The strict check counts them as errors; they are the source's own data.
        if (stale_ids_allowed && f.code == "stale-id") {
            continue;
        }

        fail(destination, "the structural check reported " + f.code + ": " + f.description);
    }
    if (source.header().code_page != output.header().code_page ||
        source.header().sort_order.lcid != output.header().sort_order.lcid ||
        source.header().sort_order.version != output.header().sort_order.version ||
        source.header().creation_date != output.header().creation_date ||
        source.header().encoding_key != output.header().encoding_key) {
        fail(destination, "the database header differs.");
    }
    compare_catalogs(source, output, ids, destination);
    // The source's digests not taken beforehand: the tables with Id columns
    // (they need the Id map) and with SIDs, a table the check did not walk,
    // or all of them.
    TableDigests expected;
    for (const auto& [from, to] : ids.tables) {
        if (source_digests != nullptr && !was_widened(from)) {
            if (const auto it = source_digests->find(from); it != source_digests->end()) {
                expected[from] = it->second;
                continue;
            }
        }
        expected[from] = digest_table(source, source.table_def(from), names[from], &ids, nullptr,
                                      was_widened(from));
    }
    const TableDigests found = output_digests.take();
    for (const auto& [from, to] : ids.tables) {
        const std::string& name = names[from];
        const TableDef& def = source.table_def(from);
        std::uint32_t counter = def.autonumber;
        if (raised_counters != nullptr) {
            if (const auto it = raised_counters->find(from); it != raised_counters->end()) {
                counter = it->second;
            }
        }
        compare_definitions(def, output.table_def(to), name, ids, counter, destination);
        const TableDigest& x = expected.at(from);
        const TableDigest& y = found.at(to);
        if (x.rows != y.rows) {
            fail(destination, "table \"" + name + "\" has " + std::to_string(y.rows) +
                                  " rows instead of " + std::to_string(x.rows) + ".");
        }
        if (x != y) {
            fail(destination, "the rows of table \"" + name + "\" differ.");
        }
        if (written_in_scan_order(def, name) && x.sequence != y.sequence) {
            fail(destination, "the rows of table \"" + name +
                                  "\" come in another order, and their order carries meaning.");
        }
    }
}

}  // namespace jet
