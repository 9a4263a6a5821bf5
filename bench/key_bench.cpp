// Index keys: computing them from decoded rows against decoding the same
// rows, and the structural check with and without comparing every entry with
// its row's key. The database is TARNWICK_BENCH_FILE, else the largest Jet 4
// file of the corpus (TARNWICK_CORPUS). Run by hand:
//   build/release/bench/key_bench
// and read the ratios: keys/decode per row, check with keys/without.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "jet/check/checker.h"
#include "jet/format/database.h"
#include "jet/format/key_encoder.h"

namespace {

namespace fs = std::filesystem;

fs::path bench_file() {
    if (const char* f = std::getenv("TARNWICK_BENCH_FILE")) {
        return f;
    }
    const char* c = std::getenv("TARNWICK_CORPUS");
    const fs::path corpus = c != nullptr ? fs::path(c) : fs::path("../shared/corpus");
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    fs::path best;
    std::uintmax_t size = 0;
    std::string line;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name, format;
        std::getline(fields, name, '\t');
        std::getline(fields, format, '\t');
        if (format == "jet4" && fs::exists(corpus / name) && fs::file_size(corpus / name) > size) {
            size = fs::file_size(corpus / name);
            best = corpus / name;
        }
    }
    return best;
}

// The indexed columns of every row of every table whose keys can be
// computed, decoded once.
struct Workload {
    struct Index {
        std::vector<jet::KeyField> fields;
        std::vector<std::size_t> places;  // per index column, its place in the table's columns
        std::size_t table = 0;
    };
    std::vector<const jet::TableDef*> tables;
    std::vector<std::vector<std::vector<jet::Value>>> rows;  // per table
    std::vector<Index> indexes;
    std::size_t keys = 0;  // keys one pass computes
};

Workload load(const jet::Database& db) {
    Workload w;
    for (const auto* o : db.catalog().tables(true)) {
        if (!db.holds_table_def(o->table_page())) {
            continue;
        }
        const jet::TableDef& t = db.table_def(o->table_page());
        const std::size_t n = w.tables.size();
        bool any = false;
        for (const auto& ri : t.real_indexes) {
            Workload::Index x;
            x.table = n;
            bool ok = true;
            for (const auto& ic : ri.columns) {
                for (std::size_t i = 0; i < t.columns.size(); ++i) {
                    if (t.columns[i].number == ic.number) {
                        x.fields.push_back(jet::key_field(t.columns[i], ic, db.header()));
                        x.places.push_back(i);
                        ok = ok && !jet::key_unsupported(x.fields.back());
                    }
                }
            }
            if (ok && x.places.size() == ri.columns.size()) {
                w.indexes.push_back(std::move(x));
                any = true;
            }
        }
        if (any) {
            w.tables.push_back(&t);
            w.rows.push_back(db.read_rows(t));
        }
    }
    for (const auto& x : w.indexes) {
        w.keys += w.rows[x.table].size();
    }
    return w;
}

const jet::Database& database() {
    static const jet::Database db(bench_file(), jet::OpenOptions{std::nullopt, false});
    return db;
}

void BM_DecodeRows(benchmark::State& state) {
    const auto& db = database();
    const Workload w = load(db);
    std::size_t rows = 0;
    for (auto _ : state) {
        for (const auto* t : w.tables) {
            const auto r = db.read_rows(*t);
            rows += r.size();
            benchmark::DoNotOptimize(r.data());
        }
    }
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

void BM_ComputeKeys(benchmark::State& state) {
    const Workload w = load(database());
    std::vector<std::uint8_t> key;
    std::vector<const jet::Value*> values;
    for (auto _ : state) {
        for (const auto& x : w.indexes) {
            for (const auto& row : w.rows[x.table]) {
                values.clear();
                for (const auto p : x.places) {
                    values.push_back(&row[p]);
                }
                key.clear();
                benchmark::DoNotOptimize(jet::encode_index_key(x.fields, values, key));
            }
        }
    }
    state.counters["keys/s"] = benchmark::Counter(static_cast<double>(w.keys * state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void BM_Check(benchmark::State& state) {
    jet::CheckOptions o;
    o.index_keys = state.range(0) != 0;
    for (auto _ : state) {
        const auto r = jet::check(database(), o);
        benchmark::DoNotOptimize(r.findings.size());
    }
    state.SetLabel(o.index_keys ? "keys compared" : "keys not compared");
}

BENCHMARK(BM_DecodeRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComputeKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Check)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
