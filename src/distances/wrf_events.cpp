// See wrf_events.hpp.
#include "distances/wrf_events.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/errors.hpp"
#include "common/thread_scratch.hpp"
#include "distances/tile_side.hpp"

namespace kestrilune::detail {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kLanes = 8;

// The most (line, term) entries of a run of ids that only the lines' side holds (added line
// by line, each line in one pass over it).
constexpr std::size_t kMaxRunEntries = 2048;

// The longest run of whole-tile ids added in one pass: their lane values (16 lines of at
// most 264 values) stay in the first-level cache while the tile's lines go by.
constexpr std::size_t kMaxWholeRun = 16;

// W bytes of doubles, loaded and stored at any 8-byte alignment; each lane is its own cell.
// Every instruction-set level gets its own register width (64, 32 or 16 bytes): GCC lowers a
// vector wider than the target's registers through the stack, which made the AVX2 copy of
// the tiles slower than the SSE2 one. Lines are padded to kLanes, a multiple of every width.
template <std::size_t W>
struct Simd;
template <>
struct Simd<16> {
    using Vec = double __attribute__((vector_size(16), aligned(8)));
    using Bits = std::uint64_t __attribute__((vector_size(16), aligned(8)));
};
template <>
struct Simd<32> {
    using Vec = double __attribute__((vector_size(32), aligned(8)));
    using Bits = std::uint64_t __attribute__((vector_size(32), aligned(8)));
};
template <>
struct Simd<64> {
    using Vec = double __attribute__((vector_size(64), aligned(8)));
    using Bits = std::uint64_t __attribute__((vector_size(64), aligned(8)));
};
template <std::size_t W>
constexpr std::size_t kWidth = W / sizeof(double);
static_assert(kLanes % kWidth<64> == 0);

constexpr std::uint64_t kNoSign = 0x7fffffffffffffffULL;

std::size_t padded(std::size_t n) {
    return (n + kLanes - 1) / kLanes * kLanes;
}

// One id of the tile: its entries in the row block and in the column block (kNone: none).
struct Event {
    std::uint32_t row_slot;
    std::uint32_t col_slot;
};

// A term for one lane of every line: a column's cells when the tile is stored by rows, a
// row's when it is stored by columns. Added to a line just before the line's own next pass,
// or to every line before the tile's storage changes or an id updates the whole tile, so
// that each cell still takes its terms in id order; a line holding the id that made the
// term is past it already (its own pass gave its cell of that lane the combined term).
struct Crossing {
    std::uint32_t lane;
    double term;
};

// What a worker keeps between tiles. Grows, never shrinks.
struct Scratch {
    std::vector<Event> events;
    std::vector<std::uint8_t> from;  // per event, bit s: state s came from the other state
    std::vector<std::uint8_t> state;
    std::vector<double> acc;     // the tile's accumulators, by rows or by columns
    std::vector<double> other;   // transpose target
    std::vector<double> dr;      // per row: its length of the current id, else +0.0
    std::vector<double> dc;      // per column
    std::vector<double> run_lanes;  // a run of whole-tile ids: per id, its lanes' values
    std::vector<double> run_lines;  // per line, its values of the run's ids
    std::vector<Crossing> crossing;       // terms waiting for the lines they cross
    std::vector<std::uint32_t> applied;   // per line: crossing terms added so far
    // A run of ids only the lines' side holds: its entries in id order, then by line.
    std::vector<std::uint32_t> entry_line;
    std::vector<double> entry_term;
    std::vector<double> by_line;
    std::vector<std::uint32_t> cursor;    // per line, all zero between runs
    std::vector<std::uint32_t> touched;   // the run's lines, in order of first entry
};

Scratch& scratch_for(std::size_t cells, std::size_t rp, std::size_t cp) {
    Scratch& s = thread_scratch<Scratch>();
    if (s.acc.size() < cells) {
        s.acc.resize(cells);
        s.other.resize(cells);
    }
    if (s.dr.size() < rp) {
        s.dr.assign(rp, 0.0);
    }
    if (s.dc.size() < cp) {
        s.dc.assign(cp, 0.0);
    }
    if (s.run_lanes.size() < kMaxWholeRun * std::max(rp, cp)) {
        s.run_lanes.assign(kMaxWholeRun * std::max(rp, cp), 0.0);
        s.run_lines.assign(kMaxWholeRun * std::max(rp, cp), 0.0);
    }
    if (s.applied.size() < std::max(rp, cp)) {
        s.applied.assign(std::max(rp, cp), 0);
        s.cursor.assign(std::max(rp, cp), 0);
    }
    if (s.entry_line.size() < kMaxRunEntries) {
        s.entry_line.resize(kMaxRunEntries);
        s.entry_term.resize(kMaxRunEntries);
        s.by_line.resize(kMaxRunEntries);
    }
    return s;
}

// a[0 .. n) += t[0], then += t[1], ... (n a multiple of kLanes). Four vectors at a time, so
// that four chains of additions are in flight instead of one.
template <std::size_t W>
[[gnu::always_inline]] inline void add_consts(double* __restrict a, const double* t,
                                              std::size_t n_terms, std::size_t n) {
    using Vec = typename Simd<W>::Vec;
    constexpr std::size_t L = kWidth<W>;
    std::size_t k = 0;
    for (; k + 4 * L <= n; k += 4 * L) {
        Vec a0, a1, a2, a3;
        std::memcpy(&a0, a + k, sizeof a0);
        std::memcpy(&a1, a + k + L, sizeof a1);
        std::memcpy(&a2, a + k + 2 * L, sizeof a2);
        std::memcpy(&a3, a + k + 3 * L, sizeof a3);
        for (std::size_t q = 0; q < n_terms; ++q) {
            a0 += t[q];
            a1 += t[q];
            a2 += t[q];
            a3 += t[q];
        }
        std::memcpy(a + k, &a0, sizeof a0);
        std::memcpy(a + k + L, &a1, sizeof a1);
        std::memcpy(a + k + 2 * L, &a2, sizeof a2);
        std::memcpy(a + k + 3 * L, &a3, sizeof a3);
    }
    for (; k < n; k += L) {
        Vec acc;
        std::memcpy(&acc, a + k, sizeof acc);
        for (std::size_t q = 0; q < n_terms; ++q) {
            acc += t[q];
        }
        std::memcpy(a + k, &acc, sizeof acc);
    }
}

// Work, in vector steps, of one id in each storage. A scalar update across the lines of the
// tile touches a cache line per line: measured on independent trees, it costs about two
// vector steps (a higher weight sends more ids to whole-tile updates and is slower).
constexpr double kStrided = 2.0;

struct Costs {
    double by_rows;
    double by_cols;
};

Costs event_costs(std::size_t n_ri, std::size_t n_cj, std::size_t r, std::size_t c,
                  std::size_t rp, std::size_t cp) {
    const double vr = static_cast<double>(rp / kLanes);  // vectors per column
    const double vc = static_cast<double>(cp / kLanes);  // vectors per row
    const double whole_rows = static_cast<double>(r) * vc;
    const double whole_cols = static_cast<double>(c) * vr;
    const double sparse_rows = static_cast<double>(n_ri) * vc +
                               static_cast<double>(n_cj) * static_cast<double>(r) * kStrided;
    const double sparse_cols = static_cast<double>(n_cj) * vr +
                               static_cast<double>(n_ri) * static_cast<double>(c) * kStrided;
    const double setup = static_cast<double>(n_ri + n_cj);
    return {std::min(whole_rows, sparse_rows) + setup, std::min(whole_cols, sparse_cols) + setup};
}

// By rows: acc[i * cp + j]; by columns: acc[j * rp + i].
[[gnu::always_inline]] inline void transpose(const double* __restrict from, double* __restrict to,
                                             std::size_t n_from, std::size_t from_stride,
                                             std::size_t n_to, std::size_t to_stride) {
    // from: n_from lines of from_stride; line a, element b goes to line b, element a.
    constexpr std::size_t kBlock = 8;
    for (std::size_t a0 = 0; a0 < n_from; a0 += kBlock) {
        const std::size_t a1 = std::min(n_from, a0 + kBlock);
        for (std::size_t b0 = 0; b0 < n_to; b0 += kBlock) {
            const std::size_t b1 = std::min(n_to, b0 + kBlock);
            for (std::size_t a = a0; a < a1; ++a) {
                for (std::size_t b = b0; b < b1; ++b) {
                    to[b * to_stride + a] = from[a * from_stride + b];
                }
            }
        }
    }
}

// One storage of a tile's cells (see wrf_tile_body).
struct Storage {
    const IdBlock* lines;
    const IdBlock* lanes;
    double* line_values;  // per line: its tree's length of the current id, else +0.0
    double* lane_values;  // per lane
    std::size_t n_lines;
    std::size_t n_lanes;  // padded to whole vectors
    std::size_t stride;
};

// A line's cells against every lane for a run of ids: for id e, line value v[e] and lane
// values lanes[e * n ..], one id after the other, the line loaded and stored once (two
// vectors at a time, two chains of additions in flight).
template <std::size_t W, bool ByRows>
[[gnu::always_inline]] inline void add_lines(double* __restrict a, const double* v,
                                             const double* __restrict lane_values,
                                             std::size_t n_ids, std::size_t n) {
    using Vec = typename Simd<W>::Vec;
    using Bits = typename Simd<W>::Bits;
    constexpr std::size_t L = kWidth<W>;
    // acc += |v[e] - lane value| of the lanes from k (vectors by reference: no vector ever
    // crosses a call of the default target).
    auto add_term = [&](Vec& acc, std::size_t e, std::size_t k) __attribute__((always_inline)) {
        Vec other;
        std::memcpy(&other, lane_values + e * n + k, sizeof other);
        const Vec d = ByRows ? v[e] - other : other - v[e];
        acc += reinterpret_cast<Vec>(reinterpret_cast<Bits>(d) & kNoSign);
#if defined(__GNUC__) && !defined(__clang__)
        // Keeps each accumulator in one register across the loop: without it GCC may put
        // the sum in a new register and copy it back on every id (two more instructions
        // per id in the whole-tile runs, 6% of the tiles' instructions on cynmix). Emits
        // no code. Clang checks the constraint before inlining, against the default
        // target, and rejects it for the wider vectors.
        asm("" : "+v"(acc));
#endif
    };
    std::size_t k = 0;
    for (; k + 2 * L <= n; k += 2 * L) {
        Vec a0, a1;
        std::memcpy(&a0, a + k, sizeof a0);
        std::memcpy(&a1, a + k + L, sizeof a1);
        for (std::size_t e = 0; e < n_ids; ++e) {
            add_term(a0, e, k);
            add_term(a1, e, k + L);
        }
        std::memcpy(a + k, &a0, sizeof a0);
        std::memcpy(a + k + L, &a1, sizeof a1);
    }
    for (; k < n; k += L) {
        Vec acc;
        std::memcpy(&acc, a + k, sizeof acc);
        for (std::size_t e = 0; e < n_ids; ++e) {
            add_term(acc, e, k);
        }
        std::memcpy(a + k, &acc, sizeof acc);
    }
}

// A line's cells against every lane: += |row value - column value|.
template <std::size_t W, bool ByRows>
[[gnu::always_inline]] inline void add_line(const Storage& st, double* a, double v) {
    add_lines<W, ByRows>(a, &v, st.lane_values, 1, st.n_lanes);
}

// The term of a cell whose line tree holds the id with length v and whose lane tree does
// not, and the reverse.
template <bool ByRows>
[[gnu::always_inline]] inline double line_term(double v) {
    return ByRows ? std::fabs(v - 0.0) : std::fabs(0.0 - v);
}
template <bool ByRows>
[[gnu::always_inline]] inline double lane_term(double v) {
    return ByRows ? std::fabs(0.0 - v) : std::fabs(v - 0.0);
}

// The ids of either block in ascending order (both lists end in the kNone sentinel).
[[gnu::always_inline]] inline void merge_ids(const IdBlock& rows, const IdBlock& cols,
                                             std::vector<Event>& events) {
    events.clear();
    std::size_t p = 0;
    std::size_t q = 0;
    for (;;) {
        const std::uint32_t a = rows.ids[p];
        const std::uint32_t b = cols.ids[q];
        if (a == kNone && b == kNone) {
            break;
        }
        if (a < b) {
            events.push_back({static_cast<std::uint32_t>(p++), kNone});
        } else if (b < a) {
            events.push_back({kNone, static_cast<std::uint32_t>(q++)});
        } else {
            events.push_back({static_cast<std::uint32_t>(p++), static_cast<std::uint32_t>(q++)});
        }
    }
}

// Storage per id into s.state: 0 by rows, 1 by columns; a switch costs about one pass over
// the tile. Shortest path over the ids, then back from the cheaper end (which pays for
// writing the result back in rows).
[[gnu::always_inline]] inline void plan_storage(Scratch& s, const IdBlock& rows,
                                                const IdBlock& cols, std::size_t rp,
                                                std::size_t cp) {
    const std::size_t r = rows.n_trees;
    const std::size_t c = cols.n_trees;
    const std::size_t n_events = s.events.size();
    auto n_rows_of = [&](const Event& e) -> std::size_t {
        return e.row_slot == kNone ? 0 : rows.start[e.row_slot + 1] - rows.start[e.row_slot];
    };
    auto n_cols_of = [&](const Event& e) -> std::size_t {
        return e.col_slot == kNone ? 0 : cols.start[e.col_slot + 1] - cols.start[e.col_slot];
    };
    const double switch_cost = static_cast<double>(r * c) / 2.0;
    s.from.resize(n_events);
    s.state.resize(n_events);
    double f0 = 0.0;
    double f1 = 0.0;
    for (std::size_t k = 0; k < n_events; ++k) {
        const Costs cost = event_costs(n_rows_of(s.events[k]), n_cols_of(s.events[k]), r, c, rp, cp);
        const bool switch0 = f1 + switch_cost < f0;
        const bool switch1 = f0 + switch_cost < f1;
        const double g0 = (switch0 ? f1 + switch_cost : f0) + cost.by_rows;
        const double g1 = (switch1 ? f0 + switch_cost : f1) + cost.by_cols;
        s.from[k] = static_cast<std::uint8_t>((switch0 ? 1 : 0) | (switch1 ? 2 : 0));
        f0 = g0;
        f1 = g1;
    }
    std::uint8_t st = f1 + switch_cost / 2.0 < f0 ? 1 : 0;
    for (std::size_t k = n_events; k-- > 0;) {
        s.state[k] = st;
        if ((s.from[k] >> st) & 1) {
            st ^= 1;
        }
    }
}

// One tile's walk over its ids (see wrf_tile_body). Every member is force-inlined: a
// function that is not is compiled for the default target, not for the instruction set of
// the variant calling it (1.7x slower with AVX-512), and the vectors of add_* never cross a
// call. ByRows, the storage of the current ids, is a constant of each copy of a step.
template <std::size_t W>
struct TileWalk {
    const IdBlock& rows;
    const IdBlock& cols;
    Scratch& s;
    std::size_t n_events;
    double* acc;    // the tile's accumulators in the current storage
    double* other;  // transpose target
    // The two storages of the tile's cells: lines of `n_lanes` values, `stride` apart. By
    // rows a line is a row tree and a lane a column tree; by columns the reverse. A cell's
    // term is |row value - column value| in both.
    Storage storages[2];
    std::uint32_t* applied;   // per line: crossing terms added so far
    std::size_t max_lines;    // max(r, c)
    std::uint8_t layout = 0;  // the current storage

    // The crossing terms not yet added to `line`, in order.
    [[gnu::always_inline]] void catch_up(const Storage& st, std::size_t line) {
        double* a = acc + line * st.stride;
        const Crossing* end = s.crossing.data() + s.crossing.size();
        for (const Crossing* x = s.crossing.data() + applied[line]; x != end; ++x) {
            a[x->lane] += x->term;
        }
        applied[line] = static_cast<std::uint32_t>(s.crossing.size());
    }

    // Every line up to date and no term waiting.
    [[gnu::always_inline]] void catch_up_all(const Storage& st) {
        if (!s.crossing.empty()) {
            for (std::size_t line = 0; line < st.n_lines; ++line) {
                catch_up(st, line);
            }
            s.crossing.clear();
        }
        std::fill(applied, applied + max_lines, 0);
    }

    // Brings every line up to date and stores the cells the other way.
    [[gnu::always_inline]] void switch_storage() {
        const Storage& from = storages[layout];
        const Storage& to = storages[layout ^ 1];
        catch_up_all(from);
        transpose(acc, other, from.n_lines, from.stride, to.n_lines, to.stride);
        std::swap(acc, other);
        layout ^= 1;
    }

    template <bool ByRows>
    [[gnu::always_inline]] static std::uint32_t line_slot_of(const Event& ev) {
        return ByRows ? ev.row_slot : ev.col_slot;
    }
    template <bool ByRows>
    [[gnu::always_inline]] static std::uint32_t lane_slot_of(const Event& ev) {
        return ByRows ? ev.col_slot : ev.row_slot;
    }

    // A run of ids from k that trees of the lines' side hold and no tree of the other side
    // does: no cell of a line not holding one changes, and no term waits, so each line
    // holding some adds its terms of the whole run, in id order, in one pass. Returns the
    // id after the run, k when id k does not start one.
    template <bool ByRows>
    [[gnu::always_inline]] std::size_t add_one_side_run(std::size_t k) {
        const Storage& st = storages[ByRows ? 0 : 1];
        const IdBlock& lines = *st.lines;
        std::uint32_t* const entry_line = s.entry_line.data();
        double* const entry_term = s.entry_term.data();
        std::size_t n_entries = 0;
        std::uint32_t first_line = kNone;
        bool one_line = true;
        std::size_t next = k;
        while (next < n_events && s.state[next] == layout) {
            const std::uint32_t line_slot = line_slot_of<ByRows>(s.events[next]);
            if (lane_slot_of<ByRows>(s.events[next]) != kNone || line_slot == kNone) {
                break;
            }
            const std::uint32_t b = lines.start[line_slot];
            const std::uint32_t e = lines.start[line_slot + 1];
            if (n_entries + (e - b) > kMaxRunEntries) {
                break;
            }
            for (std::uint32_t x = b; x < e; ++x) {
                const std::uint32_t line = lines.position[x];
                first_line = first_line == kNone ? line : first_line;
                one_line = one_line && line == first_line;
                entry_line[n_entries] = line;
                entry_term[n_entries] = line_term<ByRows>(lines.length[x]);
                ++n_entries;
            }
            ++next;
        }
        if (n_entries == 0) {
            return k;
        }
        if (one_line) {
            catch_up(st, first_line);
            add_consts<W>(acc + first_line * st.stride, entry_term, n_entries, st.n_lanes);
            return next;
        }
        // Counting sort by line, stable: each line's terms stay in id order.
        std::uint32_t* const cursor = s.cursor.data();
        std::vector<std::uint32_t>& touched = s.touched;
        touched.clear();
        for (std::size_t q = 0; q < n_entries; ++q) {
            if (cursor[entry_line[q]]++ == 0) {
                touched.push_back(entry_line[q]);
            }
        }
        std::uint32_t begin = 0;
        for (const std::uint32_t line : touched) {
            const std::uint32_t count = cursor[line];
            cursor[line] = begin;
            begin += count;
        }
        for (std::size_t q = 0; q < n_entries; ++q) {
            s.by_line[cursor[entry_line[q]]++] = entry_term[q];
        }
        begin = 0;
        for (const std::uint32_t line : touched) {
            const std::uint32_t end = cursor[line];
            catch_up(st, line);
            add_consts<W>(acc + line * st.stride, s.by_line.data() + begin, end - begin, st.n_lanes);
            cursor[line] = 0;
            begin = end;
        }
        return next;
    }

    // Whether id ev is cheaper as one pass over the whole tile than line by line.
    template <bool ByRows>
    [[gnu::always_inline]] bool updates_all(const Event& ev) const {
        const Storage& st = storages[ByRows ? 0 : 1];
        const IdBlock& lines = *st.lines;
        const IdBlock& lanes = *st.lanes;
        const double per_line = static_cast<double>(st.n_lanes / kLanes);
        const std::uint32_t ls = line_slot_of<ByRows>(ev);
        const std::uint32_t ns = lane_slot_of<ByRows>(ev);
        const double n_line_holders =
            ls == kNone ? 0.0 : static_cast<double>(lines.start[ls + 1] - lines.start[ls]);
        const double n_lane_holders =
            ns == kNone ? 0.0 : static_cast<double>(lanes.start[ns + 1] - lanes.start[ns]);
        return static_cast<double>(st.n_lines) * per_line <
               n_line_holders * per_line + n_lane_holders * static_cast<double>(st.n_lines) * kStrided;
    }

    // Puts id k + e's lengths into the run's buffers (its lane trees' by lane, its line
    // trees' by line), or back to the +0.0 of a tree not holding it.
    template <bool ByRows>
    [[gnu::always_inline]] void place(std::size_t k, std::size_t e, bool clear) {
        const Storage& st = storages[ByRows ? 0 : 1];
        const IdBlock& lines = *st.lines;
        const IdBlock& lanes = *st.lanes;
        const Event ev = s.events[k + e];
        double* run_lanes = s.run_lanes.data() + e * st.n_lanes;
        const std::uint32_t ls = line_slot_of<ByRows>(ev);
        const std::uint32_t ns = lane_slot_of<ByRows>(ev);
        if (ns != kNone) {
            for (std::uint32_t x = lanes.start[ns]; x < lanes.start[ns + 1]; ++x) {
                run_lanes[lanes.position[x]] = clear ? 0.0 : lanes.length[x];
            }
        }
        if (ls != kNone) {
            for (std::uint32_t x = lines.start[ls]; x < lines.start[ls + 1]; ++x) {
                s.run_lines[lines.position[x] * kMaxWholeRun + e] = clear ? 0.0 : lines.length[x];
            }
        }
    }

    // A run of ids from k that each update the whole tile (id k does): one pass over the
    // tile adds their terms in turn, each line loaded and stored once for the run. Returns
    // the id after the run.
    template <bool ByRows>
    [[gnu::always_inline]] std::size_t add_whole_tile_run(std::size_t k) {
        const Storage& st = storages[ByRows ? 0 : 1];
        catch_up_all(st);
        std::size_t n_run = 0;
        while (n_run < kMaxWholeRun && k + n_run < n_events && s.state[k + n_run] == layout &&
               (n_run == 0 || updates_all<ByRows>(s.events[k + n_run]))) {
            place<ByRows>(k, n_run++, false);
        }
        for (std::size_t line = 0; line < st.n_lines; ++line) {
            add_lines<W, ByRows>(acc + line * st.stride, s.run_lines.data() + line * kMaxWholeRun,
                                 s.run_lanes.data(), n_run, st.n_lanes);
        }
        for (std::size_t e = 0; e < n_run; ++e) {
            place<ByRows>(k, e, true);
        }
        return k + n_run;
    }

    // Id k alone: the lines holding it take whole lines, the lanes holding it reach the
    // other lines by crossing terms.
    template <bool ByRows>
    [[gnu::always_inline]] void add_id(std::size_t k) {
        const Storage& st = storages[ByRows ? 0 : 1];
        const IdBlock& lines = *st.lines;
        const IdBlock& lanes = *st.lanes;
        const std::uint32_t line_slot = line_slot_of<ByRows>(s.events[k]);
        const std::uint32_t lane_slot = lane_slot_of<ByRows>(s.events[k]);
        const std::uint32_t lb = line_slot == kNone ? 0 : lines.start[line_slot];
        const std::uint32_t le = line_slot == kNone ? 0 : lines.start[line_slot + 1];
        const std::uint32_t nb = lane_slot == kNone ? 0 : lanes.start[lane_slot];
        const std::uint32_t ne = lane_slot == kNone ? 0 : lanes.start[lane_slot + 1];
        for (std::uint32_t x = nb; x < ne; ++x) {
            st.lane_values[lanes.position[x]] = lanes.length[x];
        }
        for (std::uint32_t x = lb; x < le; ++x) {
            const std::size_t line = lines.position[x];
            catch_up(st, line);
            if (ne == nb) {
                const double t = line_term<ByRows>(lines.length[x]);
                add_consts<W>(acc + line * st.stride, &t, 1, st.n_lanes);
            } else {
                add_line<W, ByRows>(st, acc + line * st.stride, lines.length[x]);
            }
        }
        for (std::uint32_t x = nb; x < ne; ++x) {
            s.crossing.push_back({lanes.position[x], lane_term<ByRows>(lanes.length[x])});
        }
        for (std::uint32_t x = lb; x < le; ++x) {
            applied[lines.position[x]] = static_cast<std::uint32_t>(s.crossing.size());
        }
        for (std::uint32_t x = nb; x < ne; ++x) {
            st.lane_values[lanes.position[x]] = 0.0;
        }
    }

    // The ids from k in the current storage: a one-sided run, a whole-tile run or id k
    // alone. Returns the id after those it added.
    template <bool ByRows>
    [[gnu::always_inline]] std::size_t step(std::size_t k) {
        const std::size_t after_run = add_one_side_run<ByRows>(k);
        if (after_run != k) {
            return after_run;
        }
        if (updates_all<ByRows>(s.events[k])) {
            return add_whole_tile_run<ByRows>(k);
        }
        add_id<ByRows>(k);
        return k + 1;
    }
};

// The tile's cells: its ids in ascending order (merge_ids), each added in the storage the
// plan picked for it (plan_storage), then the cells written out by rows.
template <std::size_t W>
[[gnu::always_inline]] inline void wrf_tile_body(const IdBlock& rows, const IdBlock& cols,
                                                 double* out, std::size_t stride) {
    const std::size_t r = rows.n_trees;
    const std::size_t c = cols.n_trees;
    if (r == 0 || c == 0) {
        return;
    }
    const std::size_t rp = padded(r);
    const std::size_t cp = padded(c);
    // Line strides one vector longer than the lines: tile lines 2 KB apart would alias in
    // the cache and in store forwarding when a column is updated across them.
    const std::size_t rs = rp + kLanes;
    const std::size_t cs = cp + kLanes;
    Scratch& s = scratch_for(std::max(r * cs, c * rs), rp, cp);
    merge_ids(rows, cols, s.events);
    plan_storage(s, rows, cols, rp, cp);

    const std::size_t n_events = s.events.size();
    TileWalk<W> walk{rows,
                     cols,
                     s,
                     n_events,
                     s.acc.data(),
                     s.other.data(),
                     {{&rows, &cols, s.dr.data(), s.dc.data(), r, cp, cs},
                      {&cols, &rows, s.dc.data(), s.dr.data(), c, rp, rs}},
                     s.applied.data(),
                     std::max(r, c),
                     static_cast<std::uint8_t>(n_events > 0 ? s.state[0] : 0)};
    std::fill(walk.acc, walk.acc + std::max(r * cs, c * rs), 0.0);
    s.crossing.clear();
    std::fill(walk.applied, walk.applied + walk.max_lines, 0);
    for (std::size_t k = 0; k < n_events;) {
        if (s.state[k] != walk.layout) {
            walk.switch_storage();
        }
        k = walk.layout == 0 ? walk.template step<true>(k) : walk.template step<false>(k);
    }

    walk.catch_up_all(walk.storages[walk.layout]);
    if (walk.layout == 0) {
        for (std::size_t i = 0; i < r; ++i) {
            std::copy(walk.acc + i * cs, walk.acc + i * cs + c, out + i * stride);
        }
    } else {
        transpose(walk.acc, out, c, rs, r, stride);
    }
}

void wrf_tile_baseline(const IdBlock& rows, const IdBlock& cols, double* out, std::size_t stride) {
    wrf_tile_body<16>(rows, cols, out, stride);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void wrf_tile_avx2(const IdBlock& rows, const IdBlock& cols, double* out,
                                           std::size_t stride) {
    wrf_tile_body<32>(rows, cols, out, stride);
}
[[gnu::target("avx512f")]] void wrf_tile_avx512(const IdBlock& rows, const IdBlock& cols,
                                                double* out, std::size_t stride) {
    wrf_tile_body<64>(rows, cols, out, stride);
}
#endif

constexpr dispatch::Variant<WrfTileFn> kWrfTiles[] = {
#if defined(__x86_64__)
    {"avx512", dispatch::kAvx512f, wrf_tile_avx512},
    {"avx2", dispatch::kAvx2, wrf_tile_avx2},
#endif
    {"baseline", dispatch::kNone, wrf_tile_baseline},
};

}  // namespace

void gather_block(IdBlock& block, const LengthSets& sets, std::span<const std::uint32_t> trees) {
    require(trees.size() <= kMaxTileSide, "block larger than a tile side");
    block.n_trees = trees.size();
    // (id, entry) pairs sorted by id then entry: an id's entries come out by position. The
    // entries are numbered tree by tree, so an entry's tree is found by its offset.
    auto& keys = thread_scratch<struct GatherKeys, std::vector<std::uint64_t>>();
    auto& first_entry = thread_scratch<struct GatherFirst, std::vector<std::size_t>>();
    keys.clear();
    first_entry.assign(1, 0);
    for (const std::uint32_t tree : trees) {
        const std::span<const std::uint32_t> ids = sets.tree_ids(tree);
        for (const std::uint32_t id : ids) {
            keys.push_back((std::uint64_t{id} << 32) | keys.size());
        }
        first_entry.push_back(keys.size());
    }
    require(keys.size() < kNone, "too many entries in one block");
    std::sort(keys.begin(), keys.end());
    block.ids.clear();
    block.start.clear();
    block.position.resize(keys.size());
    block.length.resize(keys.size());
    for (std::size_t x = 0; x < keys.size(); ++x) {
        const auto id = static_cast<std::uint32_t>(keys[x] >> 32);
        const std::size_t entry = static_cast<std::uint32_t>(keys[x]);
        if (block.ids.empty() || block.ids.back() != id) {
            block.ids.push_back(id);
            block.start.push_back(static_cast<std::uint32_t>(x));
        }
        const auto b = static_cast<std::size_t>(
            std::upper_bound(first_entry.begin(), first_entry.end(), entry) - first_entry.begin() - 1);
        block.position[x] = static_cast<std::uint16_t>(b);
        block.length[x] = sets.tree_lengths(trees[b])[entry - first_entry[b]];
    }
    block.ids.push_back(kNone);
    block.start.push_back(static_cast<std::uint32_t>(keys.size()));
}

namespace {

// The trees at positions [begin, end) of `block`, as a block of their own (positions from 0).
void part_of(const IdBlock& block, std::size_t begin, std::size_t end, IdBlock& part) {
    part.n_trees = end - begin;
    part.ids.clear();
    part.start.clear();
    part.position.clear();
    part.length.clear();
    const std::size_t n_ids = block.ids.size() - 1;  // without the sentinel
    for (std::size_t q = 0; q < n_ids; ++q) {
        const std::size_t first = part.position.size();
        for (std::uint32_t x = block.start[q]; x < block.start[q + 1]; ++x) {
            const std::size_t p = block.position[x];
            if (p >= begin && p < end) {
                part.position.push_back(static_cast<std::uint16_t>(p - begin));
                part.length.push_back(block.length[x]);
            }
        }
        if (part.position.size() != first) {
            part.ids.push_back(block.ids[q]);
            part.start.push_back(static_cast<std::uint32_t>(first));
        }
    }
    part.ids.push_back(kNone);
    part.start.push_back(static_cast<std::uint32_t>(part.position.size()));
}

void diagonal_part(WrfTileFn tile_fn, const IdBlock& block, double* out, std::size_t stride,
                   std::vector<IdBlock>& parts, std::size_t depth) {
    const std::size_t n = block.n_trees;
    if (n <= kDiagonalLeaf) {
        tile_fn(block, block, out, stride);
        return;
    }
    const std::size_t half = (n / 2 + kLanes - 1) / kLanes * kLanes;  // whole vectors
    require(2 * depth + 1 < parts.size(), "diagonal tile too deep");
    IdBlock& upper = parts[2 * depth];
    IdBlock& lower = parts[2 * depth + 1];
    part_of(block, 0, half, upper);
    part_of(block, half, n, lower);
    tile_fn(upper, lower, out + half, stride);
    diagonal_part(tile_fn, upper, out, stride, parts, depth + 1);
    diagonal_part(tile_fn, lower, out + half * stride + half, stride, parts, depth + 1);
}

}  // namespace

void wrf_diagonal_tile(WrfTileFn tile_fn, const IdBlock& block, double* out, std::size_t stride) {
    // Two per level, sized before the walk: the levels refer to the parts above them. Each
    // level at least halves the trees, down to kDiagonalLeaf.
    thread_local std::vector<IdBlock> parts(2 * 16);
    diagonal_part(tile_fn, block, out, stride, parts, 0);
}

WrfTileFn pick_wrf_tile(dispatch::Features features) {
    return dispatch::pick(kWrfTiles, features).fn;
}

std::vector<dispatch::VariantInfo> wrf_tile_variants() {
    return dispatch::describe(kWrfTiles);
}

}  // namespace kestrilune::detail
