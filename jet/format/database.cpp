#include "jet/format/database.h"

#include <algorithm>

#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/long_value.h"
#include "jet/format/office_crypto.h"
#include "jet/format/usage_map.h"

namespace jet {

namespace {
Catalog read_catalog(const Database& db);
}  // namespace

Database::Database(const std::filesystem::path& path, const OpenOptions& options)
    : file_(options.share != nullptr ? PageFile::share(*options.share) : PageFile(path)),
      unlisted_(options.unlisted_pages) {
    PageBuf start(kLargestPageSize);
    const std::size_t got = file_.read_prefix(start.data(), start.size());
    header_ = parse_header(Bytes(start.data(), got), file_.size_bytes(), path.string());
    const Format& format = header_.format();
    file_.set_format(format);
    if (format.text_in_code_page()) {
        file_.set_text_codec(TextCodec::code_page(header_.code_page));
    }
    if (header_.office_encrypted()) {
        file_.set_cipher(options.cipher
                             ? options.cipher
                             : OfficeCipher::open(header_, options.password, path.string()));
    } else {
        if (options.verify_password && !password_matches(header_, options.password)) {
            throw Error(ErrorKind::bad_password, kNotAValidPassword);
        }
        file_.set_encoding_key(header_.encoding_key);
    }
    catalog_ = read_catalog(*this);
    // The catalog's own definition was read before any name was known.
    tdefs_.clear();
}

Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

const TableDef& Database::table_def(std::uint32_t page) const {
    auto it = tdefs_.find(page);
    if (it == tdefs_.end()) {
        auto t = std::make_unique<TableDef>(read_table_def(file_, page));
        if (const auto u = unlisted_.find(page); u != unlisted_.end()) {
            t->unlisted_pages = u->second;
        }
        for (const CatalogObject& o : catalog_.objects()) {
            if (o.names_definition() && o.table_page() == page) {
                t->name_hint = o.name;
                break;
            }
        }
        if (page == kCatalogPage && t->name_hint.empty()) {
            t->name_hint = "MSysObjects";
        }
        it = tdefs_.emplace(page, std::move(t)).first;
    }
    return *it->second;
}

const TableDef& Database::table(std::string_view name) const {
    const CatalogObject* o = catalog_.find_table(name);
    if (o == nullptr) {
        throw Error(ErrorKind::invalid_argument, "There is no table \"" + std::string(name) +
                                                     "\" in \"" + path().string() + "\".");
    }
    return table_def(o->table_page());
}

void Database::for_each_row(const TableDef& table,
                            const std::function<void(const RowRef&)>& fn) const {
    const std::string table_name = table.name_hint.empty()
                                       ? "the table on page " + std::to_string(table.page)
                                       : "table \"" + table.name_hint + "\"";
    UsageMap owned;
    try {
        owned = read_usage_map(file_, table.owned_map, "owned-pages map of " + table_name);
    } catch (const Error&) {
        if (table.unlisted_pages.empty()) {
            throw;
        }
        // The map is damaged; a check found the table's pages without it.
    }
    if (!table.unlisted_pages.empty()) {
        owned.pages.insert(owned.pages.end(), table.unlisted_pages.begin(),
                           table.unlisted_pages.end());
        std::sort(owned.pages.begin(), owned.pages.end());
        owned.pages.erase(std::unique(owned.pages.begin(), owned.pages.end()), owned.pages.end());
    }
    // Owned pages mostly come in runs of neighbours: read them a run at a time.
    constexpr std::size_t kRun = 16;
    std::vector<PageBuf> run(kRun);
    std::size_t run_first = 0;  // index into owned.pages of run[0]
    std::size_t run_size = 0;
    for (std::size_t at = 0; at < owned.pages.size(); ++at) {
        const std::uint32_t n = owned.pages[at];
        if (n >= file_.page_count()) {
            throw Error(ErrorKind::damaged,
                        "The database \"" + path().string() + "\" is damaged: the pages of " +
                            table_name + " include page " + std::to_string(n) +
                            ", past the end of the file (" + std::to_string(file_.page_count()) +
                            " pages). Restore it from a backup.");
        }
        if (at >= run_first + run_size) {
            run_first = at;
            run_size = 1;
            while (run_size < kRun && at + run_size < owned.pages.size() &&
                   owned.pages[at + run_size] == n + run_size &&
                   owned.pages[at + run_size] < file_.page_count()) {
                ++run_size;
            }
            file_.read_run(n, static_cast<std::uint32_t>(run_size), run.data());
        }
        if (page_is_blank(run[at - run_first])) {
            continue;  // no rows: the checker tells whether any were lost
        }
        const DataPage page(file_, run[at - run_first], n);
        if (page.owner() != table.page) {
            throw Error(ErrorKind::damaged, "The database is damaged: " + page.where() +
                                                " is listed among the pages of " + table_name +
                                                " but belongs to the table on page " +
                                                std::to_string(page.owner()) +
                                                ". Restore it from a backup.");
        }
        for (std::size_t i = 0; i < page.slot_count(); ++i) {
            const RowSlot& s = page.slot(i);
            if (s.deleted()) {
                continue;  // deleted, or the target of an overflow header
            }
            RowRef ref;
            ref.pointer = RowPointer{n, static_cast<std::uint8_t>(i)};
            if (!s.overflow()) {
                ref.data = ref.pointer;
                ref.bytes = page.row(i);
                fn(ref);
                continue;
            }
            // An overflow header: the row lives where its first 4 bytes point.
            const Bytes header = page.row(i);
            const std::optional<RowPointer> moved_to = overflow_target(header);
            if (!moved_to) {
                throw Error(ErrorKind::damaged, "The database is damaged: row " +
                                                    std::to_string(i) + " of " + page.where() +
                                                    " is an overflow pointer of only " +
                                                    std::to_string(header.size()) + " bytes.");
            }
            ref.data = *moved_to;
            const std::string what =
                "overflow pointer in row " + std::to_string(i) + " of " + page.where();
            const std::vector<std::uint8_t> target = read_row(file_, ref.data, what);
            ref.bytes = Bytes(target.data(), target.size());
            fn(ref);
        }
    }
}

std::vector<std::vector<Value>> Database::read_rows(const TableDef& table) const {
    std::vector<std::vector<Value>> rows;
    for_each_row(table, [&](const RowRef& r) {
        const std::string what = "row " + std::to_string(r.data.row) + " of " + where(r.data.page);
        rows.push_back(decode_row(file_, table, r.bytes, what));
    });
    return rows;
}

std::vector<std::uint8_t> Database::read_long_value(Bytes descriptor,
                                                    const std::string& what) const {
    return jet::read_long_value(file_, LongValueDescriptor::parse(descriptor, what), what);
}

bool Database::holds_table_def(std::uint32_t page) const {
    if (page < 2 || page >= file_.page_count()) {
        return false;
    }
    const PageBuf b = file_.read(page);
    const TableDefLayout& at = file_.format().tdef;
    if (b[0] != kPageTypeTableDef) {
        return false;
    }
    // Jet 3 has no magic: the letters "VC" where Jet 4 keeps free space.
    return at.magic != kAbsent ? le32(Bytes(b.data(), b.size()), at.magic) == kTableDefMagic
                               : b[2] == 'V' && b[3] == 'C';
}

namespace {

std::int64_t as_int(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        return *i;
    }
    return 0;
}

// MSysObjects, read through the database's own reader (its definition is on
// page 2); whether a linked table's Id names a definition of its own is
// known only once the rows are read.
Catalog read_catalog(const Database& db) {
    const TableDef& t = db.table_def(kCatalogPage);
    const Column* id = t.find_column("Id");
    const Column* parent = t.find_column("ParentId");
    const Column* name = t.find_column("Name");
    const Column* type = t.find_column("Type");
    const Column* flags = t.find_column("Flags");
    if (id == nullptr || name == nullptr || type == nullptr) {
        throw Error(ErrorKind::damaged,
                    "The database is damaged: " + db.where(kCatalogPage) +
                        " should hold the catalog (MSysObjects) but lacks its Id, Name or Type "
                        "column. Restore it from a backup.");
    }
    std::vector<CatalogObject> objects;
    db.for_each_row(t, [&](const RowRef& r) {
        const std::string what =
            "catalog row " + std::to_string(r.data.row) + " on " + db.where(r.data.page);
        const RowLayout layout = parse_row_layout(t, r.bytes, what);
        CatalogObject o;
        o.row = r.pointer;
        o.data = r.data;
        o.id =
            static_cast<std::int32_t>(as_int(decode_column(db.file(), *id, layout, r.bytes, what)));
        if (parent != nullptr) {
            o.parent_id = static_cast<std::int32_t>(
                as_int(decode_column(db.file(), *parent, layout, r.bytes, what)));
        }
        const Value n = decode_column(db.file(), *name, layout, r.bytes, what);
        if (const auto* s = std::get_if<std::string>(&n)) {
            o.name = *s;
        }
        o.type = static_cast<std::int16_t>(
            as_int(decode_column(db.file(), *type, layout, r.bytes, what)));
        if (flags != nullptr) {
            o.flags = static_cast<std::uint32_t>(
                as_int(decode_column(db.file(), *flags, layout, r.bytes, what)));
        }
        objects.push_back(std::move(o));
    });
    for (CatalogObject& o : objects) {
        o.cached_definition = o.is_linked_table() && o.id > 2 && o.id <= 0x00FFFFFF &&
                              db.holds_table_def(o.table_page());
    }
    return Catalog(std::move(objects));
}

}  // namespace

}  // namespace jet
