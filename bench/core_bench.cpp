// Stage timings of the native core on one tree file, and RF pairs/s of the tile kernel next
// to the packed-row kernel it replaced (kept here as the peer), against the number of
// distinct splits.
//
//     python bench/dump_trees.py run1.t -o /tmp/run1.txt
//     build/bench/core_bench /tmp/run1.txt              # stages and kernels of one file
//     build/bench/core_bench --floors /tmp/run1.txt     # and how far each is from its floor
//     build/bench/core_bench --synthetic 4000 120 20000  # n trees, splits per tree, K
//
// Built with -DKESTRILUNE_BUILD_BENCH=ON. Times are the best of --repeat runs (default 3);
// stage times are one thread, in order, over all trees; the collection and the kernels run
// on the pool (RAYON_NUM_THREADS).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "distances/distances.hpp"
#include "distances/rf_tiles.hpp"
#include "io/io.hpp"
#include "pool/pool.hpp"
#include "snapshot/snapshot.hpp"
#include "snapshot/snapshots.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune {
namespace {

using Clock = std::chrono::steady_clock;

int g_repeat = 3;
bool g_lengths = true;           // also time the WRF and KF kernels
bool g_reference_stages = false;  // also time the full parser's stages
bool g_collect_only = false;      // time only the collection
bool g_floors = false;            // also print each stage's floor and our distance to it

// Processor time of the whole process (all threads): on a shared machine it moves less
// than wall time, since time spent waiting for a core is not counted.
double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double g_last_cpu = 0;  // best processor seconds of the last best_of

// Best wall seconds of --repeat runs; the best processor seconds go to g_last_cpu.
double best_of(const std::function<void()>& run) {
    double best = 1e300;
    g_last_cpu = 1e300;
    for (int k = 0; k < g_repeat; ++k) {
        const double cpu = process_cpu_seconds();
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
        g_last_cpu = std::min(g_last_cpu, process_cpu_seconds() - cpu);
    }
    return best;
}

// ---- The packed-row kernel the tile kernel replaced: one bit per split that not every
// tree holds, K / 64 words per pair whatever the two trees share. ---------------------------

[[gnu::target("popcnt")]] void legacy_rf(const std::vector<std::vector<std::uint32_t>>& trees,
                                         std::uint32_t* cells) {
    const std::size_t n = trees.size();
    std::size_t universe = 0;
    for (const auto& t : trees) {
        if (!t.empty()) {
            universe = std::max<std::size_t>(universe, t.back() + 1);
        }
    }
    std::vector<std::uint32_t> occurrences(universe, 0);
    for (const auto& t : trees) {
        for (const std::uint32_t id : t) {
            ++occurrences[id];
        }
    }
    std::vector<std::uint32_t> column(universe, ~0u);
    std::size_t n_columns = 0;
    for (std::size_t id = 0; id < universe; ++id) {
        if (occurrences[id] < n) {
            column[id] = static_cast<std::uint32_t>(n_columns++);
        }
    }
    const std::size_t w = (n_columns + 63) / 64;
    std::vector<std::uint64_t> packed(n * w, 0);
    std::vector<std::uint64_t> counts(n);
    pool::parallel_for(0, n, [&](std::size_t b, std::size_t e) {
        for (std::size_t t = b; t < e; ++t) {
            for (const std::uint32_t id : trees[t]) {
                if (column[id] != ~0u) {
                    packed[t * w + column[id] / 64] |= std::uint64_t{1} << (column[id] % 64);
                }
            }
        }
    });
    for (std::size_t t = 0; t < n; ++t) {
        counts[t] = trees[t].size() - (universe - n_columns);
    }
    fill_symmetric_blocks<std::uint32_t>(n, nullptr, cells, [&](std::size_t b, std::size_t e) {
        for (std::size_t i0 = b; i0 < e; i0 += 8) {
            const std::size_t i1 = std::min(i0 + 8, e);
            for (std::size_t j = i0 + 1; j < n; ++j) {
                const std::uint64_t* bj = packed.data() + j * w;
                for (std::size_t i = i0; i < std::min(i1, j); ++i) {
                    const std::uint64_t* bi = packed.data() + i * w;
                    std::uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
                    std::size_t k = 0;
                    for (; k + 4 <= w; k += 4) {
                        c0 += __builtin_popcountll(bi[k] & bj[k]);
                        c1 += __builtin_popcountll(bi[k + 1] & bj[k + 1]);
                        c2 += __builtin_popcountll(bi[k + 2] & bj[k + 2]);
                        c3 += __builtin_popcountll(bi[k + 3] & bj[k + 3]);
                    }
                    for (; k < w; ++k) {
                        c0 += __builtin_popcountll(bi[k] & bj[k]);
                    }
                    const std::uint64_t shared = (c0 + c1) + (c2 + c3);
                    cells[i * n + j] =
                        static_cast<std::uint32_t>(counts[i] + counts[j] - 2 * shared);
                }
            }
        }
    });
}

// ---- Inputs ----------------------------------------------------------------------------------

struct TreeFile {
    std::vector<TranslateMap> maps;
    std::vector<std::size_t> map_index;
    std::vector<std::string> newicks;
    std::size_t bytes = 0;
};

TreeFile load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot open " << path << "\n";
        std::exit(2);
    }
    TreeFile f;
    std::string word, line;
    std::size_t n_maps = 0;
    in >> word >> n_maps;
    for (std::size_t m = 0; m < n_maps; ++m) {
        std::size_t n_entries = 0;
        in >> word >> n_entries;
        std::getline(in, line);
        TranslateMap map;
        for (std::size_t k = 0; k < n_entries; ++k) {
            std::getline(in, line);
            const std::size_t tab = line.find('\t');
            map.emplace(line.substr(0, tab), line.substr(tab + 1));
        }
        f.maps.push_back(std::move(map));
    }
    std::size_t n_trees = 0;
    in >> word >> n_trees;
    std::getline(in, line);
    for (std::size_t t = 0; t < n_trees; ++t) {
        std::getline(in, line);
        const std::size_t tab = line.find('\t');
        f.map_index.push_back(std::stoul(line.substr(0, tab)));
        f.newicks.push_back(line.substr(tab + 1));
        f.bytes += f.newicks.back().size();
    }
    return f;
}

std::vector<TreeItem> items_of(const TreeFile& f) {
    std::vector<TreeItem> items;
    for (std::size_t t = 0; t < f.newicks.size(); ++t) {
        items.push_back(TreeItem{f.newicks[t], &f.maps[f.map_index[t]]});
    }
    return items;
}

// Splits per tree from a drifting sample: `shared` splits in every tree, the others drawn
// from a window of the K - shared varying splits that moves along the sample, so that
// consecutive trees share most of theirs and the whole sample holds about K.
std::vector<std::vector<std::uint32_t>> synthetic(std::size_t n, std::size_t per_tree,
                                                  std::size_t k) {
    std::mt19937 rng(1);
    const std::size_t shared = std::min(per_tree / 2, k);
    const std::size_t varying = std::max<std::size_t>(k - shared, 1);
    const std::size_t window = std::min(varying, 4 * (per_tree - shared) + 1);
    std::vector<std::vector<std::uint32_t>> trees(n);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t start = (varying - window) * t / std::max<std::size_t>(n - 1, 1);
        std::vector<std::uint32_t>& ids = trees[t];
        for (std::size_t s = 0; s < shared; ++s) {
            ids.push_back(static_cast<std::uint32_t>(s));
        }
        while (ids.size() < per_tree && ids.size() < shared + window) {
            ids.push_back(static_cast<std::uint32_t>(shared + start + rng() % window));
            std::sort(ids.begin(), ids.end());
            ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        }
    }
    return trees;
}

// ---- Floors: the least work each stage must do, at the best rate this machine gives it ----
// Used to say how far a measured stage is from the hardware, not as a target: a kernel
// also reads its inputs and walks their structure, which no floor here counts.

// Terms per pair summed over all pairs i < j: splits both trees hold (the products of KF's
// dot), and splits either tree holds (the terms of a WRF cell).
struct WorkCounts {
    double shared = 0;
    double either = 0;
};

WorkCounts work_counts(const Snapshots& s) {
    std::vector<std::uint32_t> holders(s.n_splits(), 0);
    double entries = 0;
    for (const InternSnap& t : s.trees) {
        for (const std::uint32_t id : t.ids) {
            ++holders[id];
        }
        entries += static_cast<double>(t.ids.size());
    }
    WorkCounts w;
    for (const std::uint32_t h : holders) {
        w.shared += static_cast<double>(h) * (static_cast<double>(h) - 1.0) / 2.0;
    }
    // Each tree's splits meet the n - 1 other trees; a shared split is counted twice.
    w.either = (static_cast<double>(s.trees.size()) - 1.0) * entries - w.shared;
    return w;
}

// One core's rate of cell terms in the kernels' best case: 256 cells of one line held in
// registers eight at a time, 16 terms added to each in turn, every value in the first-level
// cache. Product = false: |a - b| added (a WRF term); true: a * b added (a KF product).
using Vec8 = double __attribute__((vector_size(64), aligned(8)));
using Bits8 = std::uint64_t __attribute__((vector_size(64), aligned(8)));

template <bool Product>
[[gnu::always_inline]] inline double term_rate_body() {
    constexpr std::size_t kCells = 256;
    constexpr std::size_t kTerms = 16;
    constexpr std::size_t kPasses = 200000;
    std::vector<double> acc(kCells, 0.0);
    std::vector<double> lanes(kTerms * kCells);
    double v[kTerms];
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        lanes[k] = 1e-3 * static_cast<double>(k % 97);
    }
    for (std::size_t e = 0; e < kTerms; ++e) {
        v[e] = 1e-3 * static_cast<double>(e);
    }
    const auto start = Clock::now();
    for (std::size_t pass = 0; pass < kPasses; ++pass) {
        for (std::size_t k = 0; k < kCells; k += 8) {
            Vec8 a;
            std::memcpy(&a, acc.data() + k, sizeof a);
            for (std::size_t e = 0; e < kTerms; ++e) {
                Vec8 b;
                std::memcpy(&b, lanes.data() + e * kCells + k, sizeof b);
                if constexpr (Product) {
                    a += v[e] * b;
                } else {
                    const Vec8 d = v[e] - b;
                    a += reinterpret_cast<Vec8>(reinterpret_cast<Bits8>(d) &
                                                0x7fffffffffffffffULL);
                }
            }
            std::memcpy(acc.data() + k, &a, sizeof a);
        }
        asm volatile("" : : "r"(acc.data()) : "memory");  // every pass is done
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(kPasses * kCells * kTerms) / seconds;
}

template <bool Product>
double term_rate_baseline() {
    return term_rate_body<Product>();
}
#if defined(__x86_64__)
template <bool Product>
[[gnu::target("avx2")]] double term_rate_avx2() {
    return term_rate_body<Product>();
}
template <bool Product>
[[gnu::target("avx512f")]] double term_rate_avx512() {
    return term_rate_body<Product>();
}
#endif

// Best of five (about 50 ms each), with the widest vectors the processor has (the kernels pick them too).
template <bool Product>
double term_rate() {
    double best = 0;
    for (int k = 0; k < 5; ++k) {
#if defined(__x86_64__)
        if (__builtin_cpu_supports("avx512f")) {
            best = std::max(best, term_rate_avx512<Product>());
            continue;
        }
        if (__builtin_cpu_supports("avx2")) {
            best = std::max(best, term_rate_avx2<Product>());
            continue;
        }
#endif
        best = std::max(best, term_rate_baseline<Product>());
    }
    return best;
}

// One core reading every byte of the text once (counting the commas): the least a reader
// does. Bytes per second.
double byte_scan_rate(const TreeFile& f) {
    std::size_t commas = 0;
    best_of([&] {
        for (const std::string& text : f.newicks) {
            std::size_t c = 0;
            for (const char ch : text) {
                c += ch == ',' ? 1 : 0;
            }
            commas += c;
        }
    });
    asm volatile("" : : "r"(commas));
    return static_cast<double>(f.bytes) / g_last_cpu;
}

void print_floors(const TreeFile& f, const Snapshots& snaps, double collect_cpu, double t_rf,
                  double t_wrf, double t_kf) {
    const std::size_t n = snaps.trees.size();
    const double pairs = static_cast<double>(n) * (static_cast<double>(n) - 1) / 2;
    const double cores = static_cast<double>(pool::size());
    const double scan = byte_scan_rate(f);
    std::printf("  floors (one core's best rate here, times the pool of %zu):\n", pool::size());
    std::printf("    read every byte once: %.0f MB/s per core; the collection's %.0f MB/s per core is %.1f%% of it\n",
                scan / 1e6, static_cast<double>(f.bytes) / 1e6 / collect_cpu,
                100.0 * static_cast<double>(f.bytes) / collect_cpu / scan);
    // Every kernel writes the whole n x n matrix.
    std::vector<double> cells(n * n);
    const double write8 = best_of([&] {
        pool::parallel_for(0, n, [&](std::size_t b, std::size_t e) {
            std::fill(cells.data() + b * n, cells.data() + e * n, 1.0);
        });
    });
    std::vector<std::uint32_t> narrow(n * n);
    const double write4 = best_of([&] {
        pool::parallel_for(0, n, [&](std::size_t b, std::size_t e) {
            std::fill(narrow.data() + b * n, narrow.data() + e * n, 1u);
        });
    });
    const WorkCounts w = work_counts(snaps);
    const double wrf_rate = term_rate<false>();
    const double kf_rate = term_rate<true>();
    const double wrf_floor = std::max(w.either / (wrf_rate * cores), write8);
    const double kf_floor = std::max(w.shared / (kf_rate * cores), write8);
    std::printf("    RF: writing the %zu x %zu cells (4 bytes): %.4f s; measured %.4f s = %.1fx\n", n,
                n, write4, t_rf, t_rf / write4);
    if (t_wrf > 0) {
        std::printf("    WRF: %.3g terms (%.1f per pair: splits either tree holds), |a - b| at %.3g "
                    "terms/s per core: %.4f s, writing the cells %.4f s; measured %.4f s = %.1fx\n",
                    w.either, w.either / pairs, wrf_rate, w.either / (wrf_rate * cores), write8,
                    t_wrf, t_wrf / wrf_floor);
        std::printf("    KF:  %.3g terms (%.1f per pair: splits both trees hold), a * b at %.3g "
                    "terms/s per core: %.4f s, writing the cells %.4f s; measured %.4f s = %.1fx\n",
                    w.shared, w.shared / pairs, kf_rate, w.shared / (kf_rate * cores), write8,
                    t_kf, t_kf / kf_floor);
    }
}

struct KernelTimes {
    double tiles = 0;
    double tiles_cpu = 0;
    double legacy = 0;
    double legacy_cpu = 0;
    bool same = false;
};

KernelTimes time_rf(const std::vector<std::vector<std::uint32_t>>& trees, bool with_legacy) {
    const std::size_t n = trees.size();
    Snapshots s;
    for (const auto& t : trees) {
        s.trees.push_back(InternSnap{t, {}});
    }
    std::vector<std::uint32_t> a(n * n), b(n * n);
    KernelTimes times;
    times.tiles = best_of([&] { rf_matrix(s, nullptr, a.data()); });
    times.tiles_cpu = g_last_cpu;
    if (with_legacy) {
        times.legacy = best_of([&] { legacy_rf(trees, b.data()); });
        times.legacy_cpu = g_last_cpu;
        times.same = a == b;
    }
    return times;
}

std::size_t count_distinct(const std::vector<std::vector<std::uint32_t>>& trees) {
    std::size_t universe = 0;
    for (const auto& t : trees) {
        universe = std::max<std::size_t>(universe, t.empty() ? 0 : t.back() + 1);
    }
    return universe;
}

void print_kernel_row(const char* what, std::size_t n, std::size_t k, const KernelTimes& t) {
    const double pairs = static_cast<double>(n) * (n - 1) / 2;
    std::printf("%-12s n=%-6zu K=%-8zu tiles %8.4f s (cpu %7.4f s) %9.3g pairs/s", what, n, k,
                t.tiles, t.tiles_cpu, pairs / t.tiles);
    if (t.legacy > 0) {
        std::printf(" | packed rows %8.4f s (cpu %7.4f s) %9.3g pairs/s | x%.1f %s", t.legacy,
                    t.legacy_cpu, pairs / t.legacy, t.legacy / t.tiles,
                    t.same ? "same" : "DIFFERENT");
    }
    std::printf("\n");
}

int run_file(const std::string& path, bool legacy) {
    const TreeFile f = load(path);
    const std::size_t n = f.newicks.size();
    const double mb = static_cast<double>(f.bytes) / 1e6;
    if (g_collect_only) {
        const std::vector<TreeItem> items = items_of(f);
        const double wall = best_of([&] { (void)Snapshots::from_newick_iter_opts(items, false, false); });
        std::printf("%s: collection %.4f s wall, %.4f s cpu: %.0f MB/s per core\n", path.c_str(),
                    wall, g_last_cpu, mb / g_last_cpu);
        return 0;
    }

    // Single-thread stages, in order, each over all trees: the plain-text reader and the
    // shape snapshot (what the collection runs for trees 1 .. n-1), and for reference the
    // full parser's path (annotation removal, Tree, translation, Tree snapshot).
    Tree reference = Tree::from_newick(strip_beast_annotations(f.newicks[0])).value();
    rename_leaf_nodes(reference, f.maps[f.map_index[0]]);
    const Snapshot first = Snapshot::from_tree(reference, false).value();
    const LeafOrder order(first.leaf_names);
    std::vector<TreeShape> shapes(n);
    best_of([&] {
        for (std::size_t t = 0; t < n; ++t) {
            if (!read_plain_newick(f.newicks[t], shapes[t])) {
                std::abort();
            }
        }
    });
    const double t_read = g_last_cpu;
    std::vector<std::vector<std::uint32_t>> bits(n);
    for (std::size_t t = 0; t < n; ++t) {
        const TranslateMap& map = f.maps[f.map_index[t]];
        for (const std::string_view label : shapes[t].leaf_labels) {
            const auto it = map.find(std::string(label));
            bits[t].push_back(order.find(map.empty() ? label : it->second).value());
        }
    }
    best_of([&] {
        for (std::size_t t = 0; t < n; ++t) {
            TreeSplits::from_shape(shapes[t], false, bits[t]);
        }
    });
    const double t_shape_snapshot = g_last_cpu;
    shapes = {};
    bits = {};
    double t_strip = 0, t_parse = 0, t_snapshot = 0;
    if (g_reference_stages) {
        std::vector<std::string> clean(n);
        t_strip = best_of([&] {
            for (std::size_t t = 0; t < n; ++t) {
                clean[t] = strip_beast_annotations(f.newicks[t]);
            }
        });
        std::vector<Tree> trees(n);
        t_parse = best_of([&] {
            Tree storage;
            for (std::size_t t = 0; t < n; ++t) {
                auto parsed = Tree::from_newick(clean[t], std::move(storage));
                trees[t] = std::move(parsed).value();
            }
        });
        for (std::size_t t = 0; t < n; ++t) {
            rename_leaf_nodes(trees[t], f.maps[f.map_index[t]]);
        }
        t_snapshot = best_of([&] {
            for (std::size_t t = 0; t < n; ++t) {
                auto s = Snapshot::from_tree_in_order(trees[t], false, order);
                if (!s || !*s) {
                    std::abort();
                }
            }
        });
    }

    const std::vector<TreeItem> items = items_of(f);
    Snapshots snaps;
    const double t_collect = best_of(
        [&] { snaps = std::move(Snapshots::from_newick_iter_opts(items, false, true)).value(); });
    const double cpu_collect = g_last_cpu;
    std::vector<std::vector<std::uint32_t>> ids;
    std::size_t total_ids = 0;
    for (const InternSnap& t : snaps.trees) {
        ids.push_back(t.ids);
        total_ids += t.ids.size();
    }

    std::printf("%s: %zu trees, %.2f MB, %zu distinct splits, %.1f splits per tree, pool %zu\n",
                path.c_str(), n, mb, snaps.n_splits(), static_cast<double>(total_ids) / n,
                pool::size());
    std::printf("  one thread (cpu): plain read %.4f s (%.0f MB/s)  shape snapshot %.4f s  => %.0f MB/s\n",
                t_read, mb / t_read, t_shape_snapshot, mb / (t_read + t_shape_snapshot));
    if (g_reference_stages) {
        std::printf(
            "  one thread, full parser: strip %.4f s  parse %.4f s  snapshot %.4f s  => %.0f MB/s\n",
            t_strip, t_parse, t_snapshot, mb / (t_strip + t_parse + t_snapshot));
    }
    std::printf("  collection (text to interned ids): %.4f s wall, %.4f s cpu: %.0f MB/s per core\n",
                t_collect, cpu_collect, mb / cpu_collect);
    const KernelTimes rf = time_rf(ids, legacy);
    print_kernel_row("  RF kernel", n, snaps.n_splits(), rf);
    if (!g_lengths) {
        if (g_floors) {
            print_floors(f, snaps, cpu_collect, rf.tiles, 0, 0);
        }
        return 0;
    }
    std::vector<double> cells(n * n);
    const double t_wrf = best_of([&] { wrf_matrix(snaps, nullptr, cells.data()); });
    const double cpu_wrf = g_last_cpu;
    const double t_kf = best_of([&] { kf_matrix(snaps, nullptr, cells.data()); });
    const double cpu_kf = g_last_cpu;
    const double pairs = static_cast<double>(n) * (n - 1) / 2;
    std::printf("  WRF kernel %.4f s (cpu %.4f s, %.3g pairs/s)  KF kernel %.4f s (cpu %.4f s, "
                "%.3g pairs/s)\n",
                t_wrf, cpu_wrf, pairs / t_wrf, t_kf, cpu_kf, pairs / t_kf);
    if (g_floors) {
        print_floors(f, snaps, cpu_collect, rf.tiles, t_wrf, t_kf);
    }
    return 0;
}

}  // namespace
}  // namespace kestrilune

int main(int argc, char** argv) {
    using namespace kestrilune;
    std::vector<std::string> args(argv + 1, argv + argc);
    bool legacy = true;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (args[k] == "--repeat" && k + 1 < args.size()) {
            g_repeat = std::stoi(args[k + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k),
                       args.begin() + static_cast<std::ptrdiff_t>(k) + 2);
            --k;
        } else if (args[k] == "--reference-stages") {
            g_reference_stages = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
            --k;
        } else if (args[k] == "--collect-only") {
            g_collect_only = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
            --k;
        } else if (args[k] == "--rf-only") {
            g_lengths = false;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
            --k;
        } else if (args[k] == "--floors") {
            g_floors = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
            --k;
        } else if (args[k] == "--no-legacy") {
            legacy = false;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
            --k;
        }
    }
    if (args.size() == 4 && args[0] == "--synthetic") {
        const std::size_t n = std::stoul(args[1]);
        const std::size_t per_tree = std::stoul(args[2]);
        const std::size_t k = std::stoul(args[3]);
        const auto trees = synthetic(n, per_tree, k);
        print_kernel_row("synthetic", n, count_distinct(trees), time_rf(trees, legacy));
        return 0;
    }
    if (args.empty()) {
        std::cerr
            << "usage: core_bench [--repeat R] [--no-legacy] [--rf-only] [--floors] FILE.txt ...\n"
               "       core_bench [--repeat R] [--no-legacy] --synthetic N SPLITS_PER_TREE K\n";
        return 2;
    }
    for (const std::string& path : args) {
        run_file(path, legacy);
    }
    return 0;
}
