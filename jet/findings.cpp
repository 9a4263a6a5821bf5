#include "jet/findings.h"

#include <array>

namespace jet {

namespace {

constexpr Severity E = Severity::error;
constexpr Severity N = Severity::note;
constexpr Remedy refuse = Remedy::refuse;
constexpr Remedy mend = Remedy::mend;
constexpr Remedy none = Remedy::none;

constexpr std::array<FindingKind, 66> kKinds{{
    // The counter is a derived value: the highest number in use is known.
    {"autonumber-behind", E, mend},
    {"catalog-page2", E, refuse},
    {"catalog-undecodable", E, refuse},
    {"dangling-pointer", E, refuse},
    {"data-free-space", E, mend},
    {"data-page-undecodable", E, refuse},
    {"file-size", E, refuse},
    {"fk-dangling", E, refuse},
    {"fk-not-reciprocal", E, refuse},
    {"free-map-not-owned", E, mend},
    // The copy's free map is built from the pages the catalog reaches, never
    // from the source's map.
    {"free-page-in-use", E, mend},
    {"free-page-inside-file", E, none},  // strict checking only
    {"global-map-layout", E, mend},
    {"global-map-undecodable", E, mend},
    {"index-bad-header", E, refuse},
    {"index-bad-mask", E, refuse},
    {"index-dangling-entry", E, refuse},
    {"index-dangling-page", E, refuse},
    {"index-duplicate-row", E, refuse},
    {"index-empty-node", E, refuse},
    {"index-free-space", E, mend},
    {"index-key-mismatch", E, refuse},
    {"index-keys-unchecked", N, none},
    {"index-map-mismatch", E, mend},
    {"index-missing-row", E, refuse},
    {"index-more-problems", E, refuse},
    {"index-node-mismatch", E, refuse},
    {"index-out-of-order", E, refuse},
    {"index-page-reused", E, refuse},
    {"index-page-type", E, refuse},
    {"index-sibling-link", E, mend},  // every index is rebuilt with fresh links
    {"index-too-deep", E, refuse},
    {"index-unbalanced", E, refuse},
    {"index-unique-violation", E, refuse},
    {"index-wrong-owner", E, refuse},
    {"lv-bad-descriptor", E, refuse},
    {"lv-chain-loop", E, refuse},
    {"lv-length", E, refuse},
    {"lv-map-foreign", E, refuse},
    {"lv-not-lval-page", E, refuse},
    {"lv-page-unmapped", E, mend},
    {"lv-row-shared", E, refuse},
    {"map-bad-start", E, none},  // strict checking only
    {"map-page-foreign", E, refuse},
    {"map-row-missing", E, refuse},
    {"map-undecodable", E, refuse},
    {"orphan-page", N, none},
    {"overflow-bad-target", E, refuse},
    {"page-owned-twice", E, refuse},
    {"page-unknown-type", E, mend},
    {"row-flags", E, none},  // packed checking only
    {"row-undecodable", E, refuse},
    {"stale-free-map", N, none},
    {"stale-id", N, none},
    {"stale-index-stats", N, none},
    {"stale-row-count", N, none},
    {"table-named-twice", E, refuse},
    {"tdef-columns", E, refuse},
    {"tdef-free-space", E, refuse},
    {"tdef-index-column", E, refuse},
    {"tdef-length", E, refuse},
    {"tdef-logical-index", E, refuse},
    {"tdef-lv-maps", E, refuse},
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

}  // namespace jet
