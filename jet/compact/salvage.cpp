#include "jet/compact/salvage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "jet/check/checker.h"
#include "jet/check/findings.h"
#include "jet/compact/compact_internal.h"
#include "jet/compact/database_lock.h"
#include "jet/compact/output_file.h"
#include "jet/format/data_page.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/header.h"
#include "jet/format/index_tree.h"
#include "jet/format/row.h"
#include "jet/format/table_def_builder.h"
#include "jet/format/usage_map.h"

namespace jet {

namespace {

// A loss can uncover damage behind it (a row deleted leaves index entries
// pointing at nothing, which compaction rebuilds anyway); giving up what a
// check of the patched copy finds is repeated at most this often.
constexpr int kRounds = 4;

bool refused(const CheckReport& report) {
    return std::any_of(report.findings.begin(), report.findings.end(), [&](const Finding& f) {
        return f.severity == Severity::error && remedy_of(f, report) == Remedy::refuse;
    });
}

// The first damage that loses data; with `unsalvageable`, the first a
// salvage cannot get past.
const Finding& first_refused(const CheckReport& report, bool unsalvageable) {
    for (const auto& f : report.findings) {
        if (f.severity == Severity::error && remedy_of(f, report) == Remedy::refuse &&
            (!unsalvageable || !f.salvageable)) {
            return f;
        }
    }
    return report.findings.front();
}

// The copy of the source that the losses are applied to, beside the
// destination. Pages are read through a Database over it and written back
// (encoded or encrypted as the source's are: the copy of an encrypted file
// holds no decrypted page either) through a handle of its own. Removed when
// it goes.
class Scratch {
  public:
    Scratch(const Database& source, const std::filesystem::path& destination)
        : key_(source.file().encoding_key()), cipher_(source.file().cipher()) {
        std::random_device random;
        path_ = destination.parent_path() /
                ("." + destination.filename().string() + ".salvaging-" +
                 std::to_string(::getpid()) + "-" + std::to_string(random()));
        std::error_code ec;
        if (!std::filesystem::copy_file(source.path(), path_, ec)) {
            std::filesystem::remove(path_, ec);
            throw Error(ErrorKind::io, "Cannot make the working copy \"" + path_.string() +
                                           "\" a salvage needs beside the destination: " +
                                           ec.message() + ". Nothing was written.");
        }
        fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            const int err = errno;
            std::filesystem::remove(path_, ec);
            throw Error(ErrorKind::io, "Cannot open the working copy \"" + path_.string() +
                                           "\": " + std::strerror(err) + ".");
        }
    }
    ~Scratch() {
        ::close(fd_);
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const std::shared_ptr<const PageCipher>& cipher() const { return cipher_; }

    // Page `n` (`size` bytes) decoded, as the writes so far have left it:
    // one page may be patched for several losses.
    PageBuf read(std::uint32_t n, std::size_t size) const {
        PageBuf page(size);
        const auto at = static_cast<off_t>(n) * static_cast<off_t>(size);
        if (::pread(fd_, page.data(), size, at) != static_cast<ssize_t>(size)) {
            const int err = errno;
            throw Error(ErrorKind::io, "Cannot read page " + std::to_string(n) +
                                           " of the working copy \"" + path_.string() +
                                           "\": " + std::strerror(err) + ".");
        }
        PageCodec{key_, cipher_.get()}.decode(n, page);
        return page;
    }

    // Writes page `n` (decoded) back, encoded or encrypted as it was read.
    void write(std::uint32_t n, PageBuf page) const {
        PageCodec{key_, cipher_.get()}.encode(n, page);
        const auto at = static_cast<off_t>(n) * static_cast<off_t>(page.size());
        if (::pwrite(fd_, page.data(), page.size(), at) != static_cast<ssize_t>(page.size())) {
            const int err = errno;
            throw Error(ErrorKind::io, "Cannot write page " + std::to_string(n) +
                                           " of the working copy \"" + path_.string() +
                                           "\": " + std::strerror(err) + ".");
        }
    }

  private:
    std::uint32_t key_;
    std::shared_ptr<const PageCipher> cipher_;
    std::filesystem::path path_;
    int fd_ = -1;
};

// "OrderID=17" for a row of a table with a primary key; where the row is
// stored otherwise.
std::string row_label(const Database& db, const TableDef& def, Bytes data, RowPointer at) {
    const std::string where =
        "stored at page " + std::to_string(at.page) + " row " + std::to_string(at.row);
    for (const auto& li : def.logical_indexes) {
        if (!li.is_primary_key() || li.real_index >= def.real_indexes.size()) {
            continue;
        }
        try {
            const RowLayout layout = parse_row_layout(def, data, where);
            std::string out;
            for (const auto& ic : def.real_indexes[li.real_index].columns) {
                const Column* c = def.column_by_number(ic.number);
                if (c == nullptr) {
                    return where;
                }
                out += (out.empty() ? "" : ", ") + c->name + "=" +
                       format_value(decode_column(db.file(), *c, layout, data, where));
            }
            return out;
        } catch (const Error&) {
            return where;
        }
    }
    return where;
}

class Salvager {
  public:
    Salvager(const Database& source, const Scratch& scratch) : scratch_(scratch) {
        for (const auto& obj : source.catalog().objects()) {
            if (obj.names_definition()) {
                names_.emplace(obj.table_page(), obj.name);
            }
        }
        order_ = source.catalog().objects();
    }

    // Applies the losses of `report` not applied yet to the scratch copy.
    void apply(const CheckReport& report) {
        const Database db = open_source(scratch_.path(), std::nullopt, {}, scratch_.cipher());
        for (const auto& f : report.findings) {
            if (f.salvageable && f.table_page != 0) {
                // One line for each kind of damage on a page: a zeroed
                // page, say, is named by every index entry of its rows.
                auto& causes = loss(f.table_page).causes;
                auto [it, first] = causes_.try_emplace(
                    std::make_tuple(f.table_page, f.code, f.page), causes.size(), 0);
                if (first) {
                    causes.push_back(f.description);
                } else {
                    ++it->second.second;
                }
            }
        }
        for (const Loss& l : report.losses) {
            if (!applied_.insert(l).second || gone(l.table_page)) {
                continue;
            }
            switch (l.kind) {
                case Loss::Kind::table:
                    drop_table(db, l.table_page);
                    break;
                case Loss::Kind::page:
                    give_up_page(db, l);
                    break;
                case Loss::Kind::row:
                    delete_row(db, RowPointer{l.page, l.row});
                    ++loss(l.table_page).rows_lost;
                    break;
                case Loss::Kind::long_value:
                    empty_long_value(db, l);
                    break;
                case Loss::Kind::relationship:
                    leave_out_relationship(db, l);
                    break;
            }
        }
    }

    // What each table lost, in catalog order, with the rows the copy kept.
    // Then those of tables no catalog row names.
    std::vector<TableLoss> result(const Database& copy) const {
        std::map<std::uint32_t, TableLoss> losses = losses_;
        for (const auto& [key, at] : causes_) {
            const auto& [where, more] = at;
            auto& causes = losses[std::get<0>(key)].causes;
            if (more != 0 && where < causes.size()) {
                causes[where] += " (And " + std::to_string(more) + " more like it.)";
            }
        }
        std::vector<TableLoss> out;
        std::set<std::uint32_t> named;
        for (const auto& obj : order_) {
            const auto it = obj.names_definition() ? losses.find(obj.table_page()) : losses.end();
            if (it == losses.end() || !named.insert(obj.table_page()).second) {
                continue;
            }
            TableLoss t = it->second;
            if (!t.left_out) {
                for (const auto& o : copy.catalog().objects()) {
                    if (o.names_definition() && o.name == t.table) {
                        copy.for_each_row(copy.table_def(o.table_page()),
                                          [&](const RowRef&) { ++t.rows_kept; });
                    }
                }
            }
            out.push_back(std::move(t));
        }
        for (const auto& [page, t] : losses) {
            if (named.count(page) == 0) {
                out.push_back(t);
            }
        }
        return out;
    }

  private:
    // The page of the scratch copy as the losses applied so far left it (the
    // Database of a round reads the copy as the round began).
    PageBuf patched(const Database& db, std::uint32_t n) const {
        return scratch_.read(n, db.file().format().page_size);
    }

    TableLoss& loss(std::uint32_t table_page) {
        TableLoss& t = losses_[table_page];
        if (t.table.empty()) {
            const auto it = names_.find(table_page);
            t.table = it != names_.end() ? it->second
                                         : "(defined on page " + std::to_string(table_page) +
                                               ", named by no catalog row)";
        }
        return t;
    }
    bool gone(std::uint32_t table_page) const {
        const auto it = losses_.find(table_page);
        return it != losses_.end() && it->second.left_out;
    }

    void delete_row(const Database& db, RowPointer at) {
        PageBuf page = patched(db, at.page);
        const Format& format = db.file().format();
        const DataPage parsed(format, page, at.page, db.where(at.page));
        const std::size_t entry = format.data_page.header_size + 2 * std::size_t{at.row};
        const MutableBytes bytes(page.data(), page.size());
        put_le16(bytes, entry, static_cast<std::uint16_t>(parsed.slot(at.row).raw | kSlotDeleted));
        scratch_.write(at.page, page);
    }

    // The catalog row of the table is deleted: the copy has no such table.
    // Its rows are counted on the data pages that name it as their owner.
    void drop_table(const Database& db, std::uint32_t table_page) {
        TableLoss& t = loss(table_page);
        t.left_out = true;
        for (const auto& obj : db.catalog().objects()) {
            if (obj.names_definition() && obj.table_page() == table_page) {
                delete_row(db, obj.row);
            }
        }
        // Its definition goes too: a definition that no catalog row names,
        // with rows on pages in use, is what a damaged Id leaves behind.
        if (table_page < db.page_count() && db.read_page(table_page)[0] == kPageTypeTableDef) {
            scratch_.write(table_page, blank_page(db.file().format()));
        }
        for (std::uint32_t n = 1; n < db.page_count(); ++n) {
            const PageBuf buf = db.read_page(n);
            if (buf[0] != kPageTypeData || le32(Bytes(buf.data(), buf.size()), 4) != table_page) {
                continue;
            }
            try {
                const DataPage p(db.file().format(), buf, n, db.where(n));
                for (const auto& s : p.slots()) {
                    t.rows_lost += s.deleted() ? 0 : 1;
                }
            } catch (const Error&) {
                t.rows_lost_exact = false;
            }
        }
    }

    // The page becomes an empty data page of its table; a page that is now
    // something else (another table's, or no data page) is only left out of
    // the table's owned-pages map. The rows it held are counted from its row
    // table when that reads, else from the entries the table's indexes hold
    // for it.
    void give_up_page(const Database& db, const Loss& l) {
        TableLoss& t = loss(l.table_page);
        if (l.page >= db.page_count()) {
            // Listed in the table's map past the end of the file (a file
            // cut short): its rows are those its indexes name there. A map
            // whose bit for it cannot be found loses the table.
            const std::optional<std::uint64_t> rows = rows_indexed_on(db, l.table_page, l.page);
            if (!unlist_page(db, l.table_page, l.page)) {
                drop_table(db, l.table_page);
                return;
            }
            if (rows) {
                t.rows_lost += *rows;
            } else {
                t.rows_lost_exact = false;
            }
            return;
        }
        const PageBuf buf = patched(db, l.page);
        const bool foreign =
            !page_is_blank(buf) &&
            (buf[0] != kPageTypeData || le32(Bytes(buf.data(), buf.size()), 4) != l.table_page);
        std::optional<std::uint64_t> rows;
        if (!page_is_blank(buf)) {
            try {
                const DataPage p(db.file().format(), buf, l.page, db.where(l.page));
                if (p.owner() == l.table_page) {
                    rows = 0;
                    for (const auto& s : p.slots()) {
                        *rows += s.deleted() ? 0 : 1;
                    }
                }
            } catch (const Error&) {
            }
        }
        if (!rows) {
            rows = rows_indexed_on(db, l.table_page, l.page);
        }
        if (rows) {
            t.rows_lost += *rows;
        } else {
            t.rows_lost_exact = false;
        }
        if (foreign) {
            unlist_page(db, l.table_page, l.page);
        } else {
            scratch_.write(l.page, build_data_page(db.file().format(), {}, l.table_page));
        }
    }

    // Clears the bit of `page` in the owned-pages map of the table at
    // `table_page`: on the map's row, or on its bitmap page. A bit that cannot
    // be found is left (the check after says so again): false.
    bool unlist_page(const Database& db, std::uint32_t table_page, std::uint32_t page) {
        const Format& format = db.file().format();
        const TableDef& def = db.table_def(table_page);
        const UsageMap map = read_usage_map(db.file(), def.owned_map, "owned-pages map");
        std::uint32_t holder = 0;
        std::size_t byte = 0;
        std::uint32_t bit = 0;
        if (map.kind == UsageMap::Kind::inline_map && page >= map.start_page &&
            page < map.range_end()) {
            RowPointer at = map.location;
            std::optional<DataPage> parsed(std::in_place, format, patched(db, at.page), at.page,
                                           db.where(at.page));
            if (parsed->slot(at.row).overflow()) {
                const std::optional<RowPointer> target = overflow_target(parsed->row(at.row));
                if (!target) {
                    return false;
                }
                at = *target;
                parsed.emplace(format, patched(db, at.page), at.page, db.where(at.page));
            }
            bit = page - map.start_page;
            holder = at.page;
            byte = parsed->slot(at.row).start + std::size_t{5} + bit / 8;
            if (byte >= parsed->slot(at.row).end) {
                return false;
            }
        } else if (map.kind == UsageMap::Kind::reference) {
            const std::size_t block = page / map.pages_per_bitmap_page;
            if (block >= map.bitmap_pages.size() || map.bitmap_pages[block] == 0 ||
                map.bitmap_pages[block] >= db.page_count()) {
                return false;
            }
            bit = page % map.pages_per_bitmap_page;
            holder = map.bitmap_pages[block];
            byte = 4 + std::size_t{bit} / 8;
        } else {
            return false;
        }
        PageBuf buf = patched(db, holder);
        buf[byte] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
        scratch_.write(holder, buf);
        return true;
    }

    // The number of rows on `page` that an index holding every row of the
    // table names; nothing when the table has no such index.
    static std::optional<std::uint64_t> rows_indexed_on(const Database& db,
                                                        std::uint32_t table_page,
                                                        std::uint32_t page) {
        std::optional<std::uint64_t> most;
        try {
            const TableDef& def = db.table_def(table_page);
            for (const auto& ri : def.real_indexes) {
                if (ri.ignore_nulls()) {
                    continue;  // rows with null keys are not in it
                }
                std::set<std::uint8_t> named;
                IndexTreeOptions o;
                o.owner = table_page;
                walk_index_tree(db.file(), ri.root_page, o,
                                [&](const IndexEntry& e, std::uint32_t) {
                                    if (e.row.page == page) {
                                        named.insert(e.row.row);
                                    }
                                });
                most = std::max<std::uint64_t>(most.value_or(0), named.size());
            }
        } catch (const Error&) {
        }
        return most;
    }

    // The value stays in the row as an empty one stored in the row itself
    // (a null, where the bytes are too few for that).
    void empty_long_value(const Database& db, const Loss& l) {
        TableLoss& t = loss(l.table_page);
        const TableDef& def = db.table_def(l.table_page);
        const Column* column = def.column_by_number(l.column);
        if (column == nullptr) {
            return;
        }
        RowPointer at{l.page, l.row};
        PageBuf page = patched(db, at.page);
        const Format& format = db.file().format();
        std::optional<DataPage> parsed(std::in_place, format, page, at.page, db.where(at.page));
        if (parsed->slot(at.row).overflow()) {
            const Bytes header = parsed->row(at.row);
            const std::optional<RowPointer> target = overflow_target(header);
            if (!target) {
                throw Error(ErrorKind::damaged,
                            "The database is damaged: row " + std::to_string(at.row) + " of " +
                                parsed->where() + " is too short to be an overflow pointer.");
            }
            at = *target;
            page = patched(db, at.page);
            parsed.emplace(format, page, at.page, db.where(at.page));
        }
        const Bytes data = parsed->row(at.row);
        const std::size_t start = parsed->slot(at.row).start;
        const std::string what = "row at page " + std::to_string(at.page) + " row " +
                                 std::to_string(at.row) + " of table \"" + t.table + "\"";
        const RowLayout layout = parse_row_layout(def, data, what);
        t.emptied.push_back({row_label(db, def, data, RowPointer{l.page, l.row}), column->name});
        const std::optional<ColumnSpan> span = locate_column(*column, layout, data, what);
        if (!span) {
            return;  // null already
        }
        if (span->length >= 12) {
            std::uint8_t* d = page.data() + start + span->offset;
            std::fill(d, d + 12, std::uint8_t{0});
            d[3] = 0x80;  // stored in the row, length 0
        } else {
            page[start + layout.null_mask_offset + l.column / 8] &=
                static_cast<std::uint8_t>(~(1u << (l.column % 8)));
        }
        scratch_.write(at.page, page);
    }

    // The index of a broken half of a relationship is kept as a plain one:
    // its relationship fields are cleared where they lie in the definition.
    void leave_out_relationship(const Database& db, const Loss& l) {
        const TableDef& def = db.table_def(l.table_page);
        const LogicalIndex& li = def.logical_indexes.at(l.column);
        loss(l.table_page).relationships.push_back(li.name);
        std::vector<std::uint8_t> logical = def.buffer;
        clear_relationship_fields(logical, li.block_offset, db.file().format());
        const std::size_t size = db.file().format().logical_index.block_size;
        for (std::size_t at = li.block_offset; at < li.block_offset + size; ++at) {
            if (logical[at] != def.buffer[at]) {
                const auto [page, offset] = def.logical_to_physical(at);
                PageBuf buf = patched(db, page);
                buf[offset] = logical[at];
                scratch_.write(page, buf);
            }
        }
    }

    const Scratch& scratch_;
    std::map<std::uint32_t, std::string> names_;
    std::vector<CatalogObject> order_;
    std::map<std::uint32_t, TableLoss> losses_;
    // Per (table, code, page): the cause's place in the table's causes, and
    // how many findings more it stands for.
    std::map<std::tuple<std::uint32_t, std::string, std::uint32_t>,
             std::pair<std::size_t, std::size_t>>
        causes_;
    std::set<Loss> applied_;
};

Error beyond_salvage(const Finding& f, const std::filesystem::path& source) {
    return Error(ErrorKind::damaged,
                 "The database is damaged in a way a salvage cannot get past either (" + f.code +
                     "): " + f.description + " Nothing was written; \"" + source.string() +
                     "\" is unchanged.");
}

}  // namespace

SalvageResult salvage(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options) {
    const DatabaseLock lock(source);
    const Database src = open_source(source, options.source_password);
    lock.expect_still_at(source);
    if (!src.header().office_encrypted() && !decode_password(src.header()).empty() &&
        !password_matches(src.header(), options.source_password)) {
        throw Error(ErrorKind::bad_password, kNotAValidPassword);
    }
    const std::optional<std::string> check_password =
        src.file().cipher() ? options.source_password : std::nullopt;
    CheckReport report = check(src);
    if (!refused(report)) {
        return SalvageResult{compact_locked(src, source, destination, options), {}};
    }
    if (!salvage_gets_past(report)) {
        throw beyond_salvage(first_refused(report, true), source);
    }
    if (std::filesystem::exists(destination)) {
        throw Error(ErrorKind::destination_exists, destination_exists_description(destination));
    }
    // What the source itself needs mended; the patched copy's check also
    // finds what giving up rows leaves behind (index entries naming them).
    std::set<std::pair<std::string, std::string>> stale;
    for (const auto& f : report.findings) {
        stale.insert({f.code, f.table});
    }
    const Scratch scratch(src, destination);
    Salvager salvager(src, scratch);
    for (int round = 0; refused(report); ++round) {
        if (round == kRounds || !salvage_gets_past(report)) {
            throw beyond_salvage(first_refused(report, !salvage_gets_past(report)), source);
        }
        try {
            salvager.apply(report);
        } catch (const Error& e) {
            if (e.kind() != ErrorKind::damaged) {
                throw;
            }
            throw Error(ErrorKind::damaged, std::string("A salvage cannot give up what is lost: ") +
                                                e.what() + " Nothing was written; \"" +
                                                source.string() + "\" is unchanged.");
        }
        report = check_file(scratch.path(), {}, check_password);
    }
    const Database patched = open_source(scratch.path(), std::nullopt, {}, scratch.cipher());
    SalvageResult result;
    result.compacted = compact_locked(patched, scratch.path(), destination, options, source);
    result.compacted.source_bytes = src.file().size_bytes();
    auto& repairs = result.compacted.repairs;
    repairs.erase(std::remove_if(repairs.begin(), repairs.end(),
                                 [&](const Repair& x) {
                                     return stale.count({x.code, x.table}) == 0;
                                 }),
                  repairs.end());
    OpenOptions reopen;
    reopen.password = options.destination_password.value_or("");
    result.losses = salvager.result(Database(destination, reopen));
    // What was found in the scratch copy is told of the file the user named.
    const auto shown = [&](std::string& text) {
        for (const std::string& name :
             {scratch.path().string(), scratch.path().filename().string()}) {
            for (auto at = text.find(name); at != std::string::npos;
                 at = text.find(name, at + source.string().size())) {
                text.replace(at, name.size(), source.string());
            }
        }
    };
    for (auto& r : repairs) {
        shown(r.description);
    }
    for (auto& t : result.losses) {
        for (auto& c : t.causes) {
            shown(c);
        }
    }
    return result;
}

}  // namespace jet
