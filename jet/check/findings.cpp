#include "jet/check/findings.h"

#include <array>

namespace jet {

namespace {

constexpr Severity E = Severity::error;
constexpr Severity N = Severity::note;
constexpr Remedy refuse = Remedy::refuse;
constexpr Remedy mend = Remedy::mend;
// Damage confined to one index: the index is rebuilt from the rows.
constexpr Remedy rebuild = Remedy::rebuild;
constexpr Remedy none = Remedy::none;
// What Jet itself never reads: the copy leaves it out.
constexpr Remedy drop = Remedy::drop;

constexpr std::array<FindingKind, 79> kKinds{{
    // The counter is a derived value: the highest number in use is known.
    {"autonumber-behind", E, mend},
    {"catalog-page2", E, refuse},
    {"catalog-undecodable", E, refuse},
    {"dangling-pointer", E, refuse},
    {"data-free-space", E, mend},
    {"data-page-undecodable", E, refuse},
    // A page of zeros among a table's pages holds no row; one an index entry
    // names is lost (index-lost-row), and without an index nothing tells.
    {"data-page-zeroed", E, mend},
    {"data-page-zeroed-unwitnessed", E, refuse},
    {"file-size", E, refuse},
    {"fk-dangling", E, refuse},
    // Half of a relationship with a dropped table: the copy keeps the index
    // and leaves the relationship out.
    {"fk-stale", E, mend},
    {"fk-not-reciprocal", E, refuse},
    {"free-map-mismatch", E, mend},
    {"free-map-not-owned", E, mend},
    // The copy's free map is built from the pages the catalog reaches, never
    // from the source's map.
    {"free-page-in-use", E, mend},
    {"free-page-inside-file", E, none},  // strict checking only
    {"global-map-layout", E, mend},
    {"global-map-undecodable", E, mend},
    {"index-bad-header", E, rebuild},
    {"index-bad-mask", E, rebuild},
    {"index-dangling-entry", E, rebuild},
    {"index-dangling-page", E, rebuild},
    {"index-duplicate-row", E, rebuild},
    {"index-empty-node", E, rebuild},
    {"index-free-space", E, mend},
    {"index-key-mismatch", E, rebuild},
    {"index-lost-row", E, refuse},
    {"index-keys-unchecked", N, none},
    {"index-map-mismatch", E, mend},
    {"index-missing-row", E, rebuild},
    {"index-more-problems", E, rebuild},
    {"index-row-unfound", E, refuse},
    {"index-node-mismatch", E, rebuild},
    {"index-out-of-order", E, rebuild},
    {"index-page-reused", E, rebuild},
    {"index-page-type", E, rebuild},
    {"index-sibling-link", E, mend},  // every index is rebuilt with fresh links
    {"index-too-deep", E, rebuild},
    {"index-unbalanced", E, rebuild},
    {"index-unique-violation", E, refuse},
    {"index-wrong-owner", E, rebuild},
    {"lv-bad-descriptor", E, refuse},
    {"lv-chain-loop", E, refuse},
    {"lv-length", E, refuse},
    {"lv-map-mismatch", E, mend},
    {"lv-not-lval-page", E, refuse},
    {"lv-page-unmapped", E, mend},
    {"lv-row-shared", E, refuse},
    {"map-bad-start", E, none},  // strict checking only
    {"map-page-foreign", E, refuse},
    {"map-page-missing", E, mend},
    {"map-row-missing", E, refuse},
    {"map-undecodable", E, refuse},
    {"orphan-page", N, none},
    {"owned-map-rebuilt", E, mend},
    {"overflow-bad-target", E, refuse},
    {"page-owned-twice", E, refuse},
    {"page-unknown-type", E, mend},
    {"row-flags", E, none},  // packed checking only
    // Rows no path of Jet's reaches (map and indexes alike): not the table's.
    {"rows-unreachable", N, drop},
    {"row-undecodable", E, refuse},
    {"stale-free-map", N, none},
    {"stale-id", N, none},
    {"stale-index-stats", N, none},
    {"stale-row-count", N, none},
    {"table-named-twice", E, refuse},
    // A definition no catalog row names, while every catalog row of a table
    // names its own: a dropped table's leftovers (else table-unnamed).
    {"table-unreachable", N, drop},
    {"table-unnamed", E, refuse},
    {"tdef-columns", E, refuse},
    // Derived from the definition's length; every copy writes it afresh.
    {"tdef-free-space", E, mend},
    {"tdef-index-column", E, refuse},
    {"tdef-length", E, refuse},
    {"tdef-length-padded", N, none},
    {"tdef-logical-index", E, refuse},
    {"tdef-lost", E, refuse},
    // A memo/OLE column without long-value maps: kept so in the copy.
    {"tdef-lv-maps", N, none},
    {"tdef-magic", E, refuse},
    {"tdef-undecodable", E, refuse},
    {"too-many-rows", E, refuse},
}};

}  // namespace

const FindingKind* finding_kind(std::string_view code) {
    for (const auto& k : kKinds) {
        if (k.code == code) {
            return &k;
        }
    }
    return nullptr;
}

Remedy remedy_of(const Finding& f, const CheckReport& report) {
    const FindingKind* k = finding_kind(f.code);
    if (k == nullptr) {
        return Remedy::refuse;
    }
    // An index whose keys cannot be computed is rebuilt only where dropping
    // its entries of rows that do not exist is all it needs: the others keep
    // the keys they have.
    const auto unbuildable = [&](std::pair<std::uint32_t, std::uint32_t> x) {
        return report.uncomputable_indexes.count(x) != 0 &&
               report.damaged_beyond_dangling.count(x) != 0;
    };
    if (k->remedy == Remedy::rebuild &&
        (!f.index || report.uncomputable_indexes.count({f.table_page, *f.index}) != 0)) {
        // A summary line of findings not listed names no index: the indexes
        // behind it are in damaged_indexes, and decided there.
        if (f.index) {
            return unbuildable({f.table_page, *f.index}) ? Remedy::refuse : k->remedy;
        }
        if (f.page != 0) {
            return Remedy::refuse;
        }
        for (const auto& x : report.damaged_indexes) {
            if (unbuildable(x)) {
                return Remedy::refuse;
            }
        }
    }
    return k->remedy;
}

bool salvage_gets_past(const CheckReport& report) {
    bool lossy = false;
    for (const auto& f : report.findings) {
        if (f.severity == Severity::error && remedy_of(f, report) == Remedy::refuse) {
            if (!f.salvageable) {
                return false;
            }
            lossy = true;
        }
    }
    return lossy;
}

const char* remedy_name(Remedy r) {
    switch (r) {
        case Remedy::refuse:
            return "refuse";
        case Remedy::mend:
            return "mend";
        case Remedy::rebuild:
            return "rebuild";
        case Remedy::drop:
            return "drop";
        case Remedy::none:
            break;
    }
    return "none";
}

}  // namespace jet
