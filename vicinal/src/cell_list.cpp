#include "cell_list.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cell_list_bounds.hpp"
#include "cell_list_scan.hpp"
#include "cell_list_search.hpp"
#include "kestrix/panic.hpp"
#include "kestrix/saturate.hpp"

namespace kestrix::vicinal::detail {
namespace {

constexpr double kTwo64 = 18446744073709551616.0;
constexpr u64 kTopBit = u64{1} << 63;
// Offsets, shifts and quotients of an extended reach stay below this, so that
// their sums never wrap.
constexpr i64 kExtendedLimit = i64{1} << 61;

const char kInfiniteCutoff[] =
    "infinite cutoff with a periodic axis: the neighbour list would be infinite";
const char kDependentRows[] =
    "periodic cell vectors are linearly dependent: the neighbour list would be infinite";
const char kShiftOutOfRange[] = "cell shift out of range";

/// "d.ddde<exp>" with the exponent bare ("e-15", "e0"), rounded to 4 significant digits.
std::string format_scientific3(double v) {
    std::string out;
    if (std::signbit(v)) out.push_back('-');
    double a = std::fabs(v);
    if (a == 0.0) return out + "0.000e0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, 3);
    std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
    std::size_t e = s.find('e');
    out.append(s.substr(0, e));
    out.push_back('e');
    std::string_view exp = s.substr(e + 1);
    if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
        if (exp[0] == '-') out.push_back('-');
        exp.remove_prefix(1);
    }
    while (exp.size() > 1 && exp[0] == '0') exp.remove_prefix(1);
    out.append(exp);
    return out;
}

std::string singular_cell_message(double det) {
    return "Cell matrix is singular (det = " + format_scientific3(det) +
           "). Cannot compute scaled positions.";
}

double physical_memory_bytes() {
    // Read once: sysconf asks the kernel each time, and the value does not change.
    static const double bytes = [] {
        long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page <= 0) return std::numeric_limits<double>::infinity();
        return static_cast<double>(pages) * static_cast<double>(page);
    }();
    return bytes;
}

}  // namespace

u64 row_limit() {
    double rows = std::floor(physical_memory_bytes() / static_cast<double>(kRowBytes));
    return rows >= 1.8e19 ? ~u64{0} : static_cast<u64>(rows);
}

void CellSearch::build_grid() {
    const auto& c = cell_;
    const double a0 = c[0][0], a1 = c[0][1], a2 = c[0][2];
    const double b0 = c[1][0], b1 = c[1][1], b2 = c[1][2];
    const double c0 = c[2][0], c1 = c[2][1], c2 = c[2][2];
    double bc[3] = {b1 * c2 - b2 * c1, b2 * c0 - b0 * c2, b0 * c1 - b1 * c0};
    double ca[3] = {c1 * a2 - c2 * a1, c2 * a0 - c0 * a2, c0 * a1 - c1 * a0};
    double ab[3] = {a1 * b2 - a2 * b1, a2 * b0 - a0 * b2, a0 * b1 - a1 * b0};
    for (int x = 0; x < 3; ++x) {
        cross_[0][x] = bc[x];
        cross_[1][x] = ca[x];
        cross_[2][x] = ab[x];
    }
    det_ = (a0 * bc[0] + a1 * bc[1]) + a2 * bc[2];
    double volume = std::fabs(det_);
    volume_ = volume;
    for (int k = 0; k < 3; ++k) {
        const double* v = cross_[k];
        h_[k] = volume / std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
    }
    size_grid(0);
}

/// Bin counts and reaches from the heights h_; `margin` more offsets on every
/// axis that is scanned beyond offset 0.
void CellSearch::size_grid(u64 margin) {
    bin_length_ = cutoff_ > 3.0 ? cutoff_ : 3.0;
    for (int k = 0; k < 3; ++k) n_[k] = std::max<u64>(saturating_u64(h_[k] / bin_length_), 1);
    // A cap of 0 can never be met; it is read as 1.
    u64 cap = in_.max_nbins == 0 ? 1 : in_.max_nbins;
    for (;;) {
        unsigned __int128 prod = static_cast<unsigned __int128>(n_[0]) * n_[1], total;
        bool over = __builtin_mul_overflow(prod, static_cast<unsigned __int128>(n_[2]), &total);
        if (!over && total <= cap) break;
        for (auto& n : n_) n = std::max<u64>(n / 2, 1);
    }
    for (int k = 0; k < 3; ++k) {
        r_[k] = saturating_u64(std::ceil((static_cast<double>(n_[k]) * bin_length_) / h_[k]));
        r_[k] = r_[k] < ~u64{0} - margin ? r_[k] + margin : ~u64{0};
        if (!in_.pbc[k] && n_[k] == 1) r_[k] = 0;
    }
}

/// Whether every periodic axis of the cell grid has a finite, positive height
/// and a reach below 2^63: the grid the search is defined on.
bool CellSearch::grid_is_regular() const {
    for (int k = 0; k < 3; ++k)
        if (in_.pbc[k] && !(h_[k] > 0.0 && std::isfinite(h_[k]) && r_[k] < kTopBit)) return false;
    return true;
}

/// Whether no row (i, i, S) can have a shift beyond int64, from the cell grid
/// alone. With a volume not tiny beside the rows' lengths, the heights hold to
/// a few ulps and the rounding of T stays below 10^-5 of |T|; |T| is at least
/// |S_k|·h_k on every axis, so 2^62 heights beyond the cutoff leave no such row.
bool CellSearch::self_images_fit_surely() const {
    if (!grid_is_regular()) return false;
    double lengths = 1.0;
    for (const auto& row : cell_)
        lengths *= 1.7320508075688772 *
                   std::max({std::fabs(row[0]), std::fabs(row[1]), std::fabs(row[2])});
    if (!(lengths > 0.0 && std::isfinite(lengths) && volume_ >= 0x1p-30 * lengths)) return false;
    for (int k = 0; k < 3; ++k)
        if (in_.pbc[k] && !(h_[k] * 0x1p62 > cutoff_)) return false;
    return true;
}

/// Whether atoms lie in different bins of an open axis that the grid never
/// scans across: an infinite height from a zero cross product, with scaled
/// input that spreads the atoms along it all the same.
bool CellSearch::open_axis_unscanned() const {
    for (int k = 0; k < 3; ++k) {
        if (in_.pbc[k] || n_[k] == 1 || r_[k] != 0) continue;
        bool seen = false;
        u64 first = 0;
        for (std::size_t a = 0; a < n_atoms_; ++a) {
            if (!finite_[a]) continue;
            u64 c = coord_[3 * a + k];
            if (seen && c != first) return true;
            first = c;
            seen = true;
        }
    }
    return false;
}

CellSearch::Stage CellSearch::fail(SearchError::Kind kind, std::string message) {
    error_ = SearchError{kind, std::move(message)};
    return Stage::kError;
}

CellSearch::Stage CellSearch::prepare() {
    const auto& pos = in_.positions;
    if (pos.rows <= 0) return Stage::kEmpty;
    if (in_.cell.rows < 3 || in_.cell.cols < 3) panic(kIndexOutOfBounds);
    bool any_periodic = in_.pbc[0] || in_.pbc[1] || in_.pbc[2];
    if (cutoff_ == std::numeric_limits<double>::infinity() && any_periodic)
        return fail(SearchError::Kind::kValue, kInfiniteCutoff);
    for (int r = 0; r < 3; ++r)
        for (int x = 0; x < 3; ++x) cell_[r][x] = in_.cell(r, x);
    build_grid();
    if (!in_.use_scaled_positions && std::fabs(det_) < 1e-15)
        return fail(SearchError::Kind::kValue, singular_cell_message(det_));
    if (pos.cols < 3) panic(kIndexOutOfBounds);

    // A row needs d2 < cutoff², which no zero, negative or NaN cutoff allows
    // (a negative one is refused rather than read as its magnitude), and every
    // D is NaN or infinite when the cell is not finite.
    if (!(cutoff_ > 0.0) || cutoff_ * cutoff_ == 0.0) return Stage::kEmpty;
    for (const auto& row : cell_)
        for (double v : row)
            if (!std::isfinite(v)) return Stage::kEmpty;

    n_atoms_ = static_cast<std::size_t>(pos.rows);
    place_atoms();
    if (n_finite_ == 0) return Stage::kEmpty;
    if (periodic_rows_dependent(cell_, in_.pbc)) return fail(SearchError::Kind::kValue, kDependentRows);

    if (!self_images_fit_surely() && self_image_beyond_int64(cell_, in_.pbc, cutoff_))
        return fail(SearchError::Kind::kOverflow, kShiftOutOfRange);

    if (grid_is_regular()) {
        if (!bin_in_cell_grid()) return fail(SearchError::Kind::kOverflow, kShiftOutOfRange);
        if (!open_axis_unscanned()) {
            check_result_size();
            prepare_windows();
            try_frame_instead();
            bins_.build(arena_, p_, shift_, coord_, finite_, n_atoms_, n_);
            return Stage::kReady;
        }
    }
    // The cell grid misses rows here: the atoms are binned across the
    // periodic rows, and each atom's rows ordered by (S, j).
    order_ = Order::kShift;
    // No finite frame: the periodic rows are independent, yet so nearly
    // dependent that no double can describe the lattice's spacing.
    if (!make_bin_frame(cell_, in_.pbc, p_, finite_, n_atoms_, frame_)) throw std::bad_alloc();
    if (!bin_in_frame()) return fail(SearchError::Kind::kOverflow, kShiftOutOfRange);
    check_result_size();
    prepare_windows();
    bins_.build(arena_, p_, shift_, coord_, finite_, n_atoms_, n_);
    return Stage::kReady;
}

/// Where the cell grid would visit thousands of offsets per atom, as when an
/// open row nearly lies in the periodic ones, bins the atoms in a frame across
/// the periodic rows if that visits far fewer; the rows found there are put
/// back in the cell grid's offsets and order.
void CellSearch::try_frame_instead() {
    constexpr double kFewOffsets = 0x1p24, kPerAtom = 4096.0, kGain = 16.0;
    double box = 1.0;
    for (u64 r : r_) box *= 2.0 * static_cast<double>(r) + 1.0;
    if (box <= kPerAtom) return;
    double cell_work = planned_offsets();
    if (cell_work <= std::max(kFewOffsets, kPerAtom * static_cast<double>(n_finite_))) return;

    GridState cell_grid = grid_state();
    shift_ = arena_.alloc<i64>(3 * n_atoms_);
    coord_ = arena_.alloc<u64>(3 * n_atoms_);
    bool better = false;
    try {
        better = make_bin_frame(cell_, in_.pbc, p_, finite_, n_atoms_, frame_) && bin_in_frame();
        if (better) {
            prepare_windows();
            better = planned_offsets() * kGain < cell_work;
        }
    } catch (const std::bad_alloc&) {
        better = false;  // the frame's own limits; the cell grid still scans
    }
    if (!better) {
        set_grid_state(cell_grid);
        return;
    }
    cell_grid_ = cell_grid;
    order_ = Order::kCellGrid;
}

CellSearch::GridState CellSearch::grid_state() const {
    GridState g;
    for (int k = 0; k < 3; ++k) {
        g.h[k] = h_[k];
        g.n[k] = n_[k];
        g.r[k] = r_[k];
        g.extended[k] = extended_[k];
    }
    g.bin_length = bin_length_;
    g.volume = volume_;
    g.shift = shift_;
    g.coord = coord_;
    g.windowed = windowed_;
    g.window = window_;
    return g;
}

void CellSearch::set_grid_state(const GridState& g) {
    for (int k = 0; k < 3; ++k) {
        h_[k] = g.h[k];
        n_[k] = g.n[k];
        r_[k] = g.r[k];
        extended_[k] = g.extended[k];
    }
    bin_length_ = g.bin_length;
    volume_ = g.volume;
    shift_ = g.shift;
    coord_ = g.coord;
    windowed_ = g.windowed;
    window_ = g.window;
}

void CellSearch::place_atoms() {
    const std::size_t n = n_atoms_;
    p_ = arena_.alloc<double>(3 * n);
    shift_ = arena_.alloc<i64>(3 * n);
    coord_ = arena_.alloc<u64>(3 * n);
    finite_ = arena_.alloc<std::uint8_t>(n);
    const auto& pos = in_.positions;
    const auto& c = cell_;
    n_finite_ = 0;
    for (std::size_t a = 0; a < n; ++a) {
        auto row = static_cast<std::ptrdiff_t>(a);
        double* p = &p_[3 * a];
        if (in_.use_scaled_positions) {
            double s[3];
            for (int k = 0; k < 3; ++k) s[k] = pos(row, k);
            for (int x = 0; x < 3; ++x)
                p[x] = ((0.0 + s[0] * c[0][x]) + s[1] * c[1][x]) + s[2] * c[2][x];
        } else {
            for (int x = 0; x < 3; ++x) p[x] = pos(row, x);
        }
        // An atom with a non-finite coordinate has a NaN or infinite D in every
        // row, so it can never be listed.
        bool ok = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
        finite_[a] = ok;
        n_finite_ += ok;
    }
}

/// Bins every atom from its scaled coordinates, scaled(a, s): the bin
/// coordinates and, on periodic axes, the whole periods removed. Shifts are
/// moved by a common amount per axis when they would not fit in int64 (S is a
/// difference of shifts, so no row changes); false when the atoms lie too many
/// periods apart for every S to fit.
template <class Scaled>
bool CellSearch::bin_atoms(Scaled&& scaled) {
    constexpr double kSafe = 0x1p62;  // beyond, v may saturate and S overflow
    i64 lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    bool first = true, wide = false;
    for (std::size_t a = 0; a < n_atoms_; ++a) {
        double s[3];
        scaled(a, s);
        for (int k = 0; k < 3; ++k) {
            double f = std::floor(static_cast<double>(n_[k]) * s[k]);
            i64 v = saturating_i64(f);
            i128 nk = static_cast<i128>(n_[k]);
            if (in_.pbc[k]) {
                i128 q = floor_div(v, nk);
                shift_[3 * a + k] = static_cast<i64>(q);
                coord_[3 * a + k] = static_cast<u64>(static_cast<i128>(v) - nk * q);
                wide |= finite_[a] && !(std::fabs(f) < kSafe);
            } else {
                shift_[3 * a + k] = 0;
                coord_[3 * a + k] = v < 0 ? 0 : static_cast<u64>(std::min<i128>(v, nk - 1));
            }
        }
        if (!finite_[a]) continue;
        for (int k = 0; k < 3; ++k) {
            i64 q = shift_[3 * a + k];
            lo[k] = first ? q : std::min(lo[k], q);
            hi[k] = first ? q : std::max(hi[k], q);
        }
        first = false;
    }
    if (wide) return rebase_shifts(scaled);
    for (int k = 0; k < 3; ++k)
        if (in_.pbc[k] && !shift_span_fits(static_cast<i128>(hi[k]) - lo[k], k)) return false;
    return true;
}

/// Whether S = shift_i + q - shift_j fits in int64 for shifts `span` apart and
/// every quotient q the scan can use on axis k.
bool CellSearch::shift_span_fits(i128 span, int k) const {
    // An axis with a reach of 2^63 or more is scanned within windows of
    // quotients below kExtendedLimit, or not at all.
    i128 q = r_[k] >= kTopBit ? static_cast<i128>(kExtendedLimit)
                              : static_cast<i128>(r_[k] / n_[k]) + 2;
    return span + q < static_cast<i128>(kTopBit);
}

/// bin_atoms() for atoms more than 2^62 periods out: shifts from the exact
/// floor of n·s, moved by the middle of their range.
template <class Scaled>
bool CellSearch::rebase_shifts(Scaled& scaled) {
    constexpr double kFar = 0x1p120;
    std::vector<i128> wide(3 * n_atoms_, 0);
    i128 lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    bool first = true;
    for (std::size_t a = 0; a < n_atoms_; ++a) {
        if (!finite_[a]) continue;
        double s[3];
        scaled(a, s);
        for (int k = 0; k < 3; ++k) {
            if (!in_.pbc[k]) continue;
            double f = std::floor(static_cast<double>(n_[k]) * s[k]);
            if (!(std::fabs(f) < kFar)) return false;
            i128 v = static_cast<i128>(f), nk = static_cast<i128>(n_[k]);
            i128 q = floor_div(v, nk);
            wide[3 * a + k] = q;
            coord_[3 * a + k] = static_cast<u64>(v - nk * q);
            lo[k] = first ? q : std::min(lo[k], q);
            hi[k] = first ? q : std::max(hi[k], q);
        }
        first = false;
    }
    for (int k = 0; k < 3; ++k) {
        if (!in_.pbc[k]) continue;
        if (!shift_span_fits(hi[k] - lo[k], k)) return false;
        i128 middle = lo[k] + (hi[k] - lo[k]) / 2;
        for (std::size_t a = 0; a < n_atoms_; ++a)
            shift_[3 * a + k] = finite_[a] ? static_cast<i64>(wide[3 * a + k] - middle) : 0;
    }
    return true;
}

/// Scaled coordinates of the cell grid: the input rows, or computed from the
/// Cartesian ones through the inverse cell.
bool CellSearch::bin_in_cell_grid() {
    if (in_.use_scaled_positions) {
        const auto& pos = in_.positions;
        return bin_atoms([&](std::size_t a, double s[3]) {
            for (int k = 0; k < 3; ++k) s[k] = pos(static_cast<std::ptrdiff_t>(a), k);
        });
    }
    double inv = 1.0 / det_;
    double inv_cols[3][3];
    for (int k = 0; k < 3; ++k)
        for (int x = 0; x < 3; ++x) inv_cols[k][x] = cross_[k][x] * inv;
    return bin_atoms([&](std::size_t a, double s[3]) {
        const double* p = &p_[3 * a];
        for (int k = 0; k < 3; ++k) {
            const double* X = inv_cols[k];
            s[k] = (p[0] * X[0] + p[1] * X[1]) + p[2] * X[2];
        }
    });
}

/// The grid and bins of frame_, with a margin of two offsets for the rounding
/// of its coordinates.
bool CellSearch::bin_in_frame() {
    for (int k = 0; k < 3; ++k) h_[k] = frame_.height[k];
    size_grid(2);
    if (in_.pbc[0] && in_.pbc[1] && in_.pbc[2]) volume_ = frame_.volume;
    return bin_atoms([&](std::size_t a, double s[3]) {
        for (int k = 0; k < 3; ++k) s[k] = frame_.coordinate(&p_[3 * a], k);
    });
}

/// Fails at once when every finite atom's images of itself already outgrow memory.
void CellSearch::check_result_size() {
    if (!(in_.pbc[0] || in_.pbc[1] || in_.pbc[2])) return;
    std::array<double, 3> q_max{};
    double offsets = 1.0;
    for (int k = 0; k < 3; ++k) {
        // q covers -Q..Q in the atom's own bin whenever Q·n + n - 1 <= r.
        i128 r = r_[k], n = n_[k];
        i128 q = r >= n - 1 ? (r - n + 1) / n : 0;
        q_max[k] = std::min(static_cast<double>(q), 9007199254740992.0);
        offsets *= 2.0 * static_cast<double>(r_[k]) + 1.0;
    }
    double limit = static_cast<double>(row_limit());
    double nf = static_cast<double>(n_finite_);
    // No more rows than candidate pairs: skip the bound when they fit anyway.
    if (nf * nf * offsets <= limit) return;
    double per_atom = detail::self_image_rows(cell_, in_.pbc, cutoff_, q_max);
    if (per_atom * nf > limit) throw std::bad_alloc();
}

void CellSearch::prepare_windows() {
    bool any_extended = false;
    for (int k = 0; k < 3; ++k) {
        // Only a single-bin axis can have a long reach: n >= 2 means h >= 2·bin_length.
        windowed_[k] = in_.pbc[k] && n_[k] == 1 && r_[k] > 2;
        extended_[k] = in_.pbc[k] && r_[k] >= kTopBit;
        if (extended_[k] && n_[k] != 1) throw std::bad_alloc();
        any_extended |= extended_[k];
    }
    if (!(windowed_[0] || windowed_[1] || windowed_[2])) return;
    bool ok = window_.prepare(cell_, in_.pbc, cutoff_, p_, shift_, finite_,
                              n_atoms_, windowed_);
    if (!any_extended) return;
    // A reach of 2^63 or more: only a provably small set of shifts can be
    // listed; without that proof the list cannot be computed.
    if (!ok) throw std::bad_alloc();
    for (std::size_t a = 0; a < n_atoms_; ++a) {
        if (!finite_[a]) continue;
        for (int k = 0; k < 3; ++k) {
            i64 s = shift_[3 * a + k];
            if (s > kExtendedLimit || s < -kExtendedLimit) throw std::bad_alloc();
        }
    }
}

/// The offsets of atom a that can give rows, per axis; false when there are none.
bool CellSearch::atom_ranges(std::size_t a, i64 lo_out[3], i64 hi_out[3]) const {
    for (int k = 0; k < 3; ++k) {
        i128 r = r_[k], n = n_[k], c = coord_[3 * a + k];
        i128 lo = -r, hi = r;
        if (!in_.pbc[k]) {
            // Open axis: a wrapped bin has q != 0 and so S != 0 there.
            lo = std::max(lo, -c);
            hi = std::min(hi, n - 1 - c);
        } else if (windowed_[k]) {
            double qlo, qhi;
            bool ok = window_.q_bounds(&p_[3 * a], &shift_[3 * a], k, qlo, qhi);
            // The same wrapped shift S recurs 2^64 quotients away; only a
            // window that cannot alias that way is used.
            if (ok && !extended_[k])
                ok = qlo + kTwo64 > static_cast<double>(r) + 4.0 &&
                     qhi - kTwo64 < -static_cast<double>(r) - 4.0;
            if (ok && std::fabs(qlo) < 1e30 && std::fabs(qhi) < 1e30) {
                i128 ql = static_cast<i128>(std::ceil(qlo)), qh = static_cast<i128>(std::floor(qhi));
                lo = std::max(lo, ql * n - c);
                hi = std::min(hi, qh * n + n - 1 - c);
            } else if (extended_[k]) {
                throw std::bad_alloc();
            }
            if (extended_[k] && lo <= hi && (lo < -kExtendedLimit || hi > kExtendedLimit))
                throw std::bad_alloc();
        }
        if (lo > hi) return false;
        lo_out[k] = static_cast<i64>(lo);
        hi_out[k] = static_cast<i64>(hi);
    }
    return true;
}

/// The offset rows of centre bin s with their items, shared by all its atoms:
/// built from the union of the atoms' offset ranges. A bin whose plan would be
/// too long is scanned atom by atom instead.
void CellSearch::build_plan(std::size_t s) {
    constexpr std::size_t kMaxPlanRows = 4096;
    const detail::Bins::Slot& slot = bins_.slot(static_cast<i64>(s));
    i64 lo[3] = {}, hi[3] = {};  // set by the first atom in range
    bool any = false;
    for (std::size_t k = slot.start; k < slot.start + slot.count; ++k) {
        i64 alo[3], ahi[3];
        if (!atom_ranges(static_cast<std::size_t>(bins_.idx[k]), alo, ahi)) continue;
        for (int x = 0; x < 3; ++x) {
            lo[x] = any ? std::min(lo[x], alo[x]) : alo[x];
            hi[x] = any ? std::max(hi[x], ahi[x]) : ahi[x];
        }
        any = true;
    }
    plan_state_[s] = kPlanned;
    plan_begin_[s] = plan_end_[s] = plans_.size();
    if (!any) return;
    if (n_[0] == 1 && n_[1] == 1 && n_[2] == 1) {
        // One bin: every offset reaches the same atoms, only q differs.
        single_item_ = detail::item_of(bins_.slot(0));
        plan_state_[s] = kSingleBin;
        return;
    }
    std::size_t plans0 = plans_.size(), items0 = plan_items_.size(), rows = 0;
    const u64* c = &coord_[3 * static_cast<std::size_t>(bins_.idx[slot.start])];
    each_row(c, lo, hi, [&](u64 base, u64 e_first, u64 e_last, const i64* q, const i64* o) {
        if (++rows > kMaxPlanRows) return false;
        std::size_t first = plan_items_.size();
        u64 bins = detail::make_items(bins_, base, e_first, e_last, plan_items_);
        u64 work = bins;
        for (std::size_t k = first; k < plan_items_.size(); ++k)
            work += plan_items_[k].end - plan_items_[k].start;
        if (plan_items_.size() > first)
            plans_.push_back(Plan{{o[0], o[1], o[2]}, {q[0], q[1], q[2]}, first, plan_items_.size(), work});
        else
            empty_work_ += bins;
        return true;
    });
    if (rows > kMaxPlanRows) {
        plans_.resize(plans0);
        plan_items_.resize(items0);
        plan_state_[s] = kOnTheFly;
        return;
    }
    plan_end_[s] = plans_.size();
}

/// The offsets the scan would visit, summed over the atoms.
double CellSearch::planned_offsets() const {
    double total = 0.0;
    for (std::size_t a = 0; a < n_atoms_; ++a) {
        i64 lo[3], hi[3];
        if (!finite_[a] || !atom_ranges(a, lo, hi)) continue;
        double box = 1.0;
        for (int k = 0; k < 3; ++k) box *= static_cast<double>(static_cast<i128>(hi[k]) - lo[k] + 1);
        total += box;
    }
    return total;
}

namespace {

/// Sorts the rows of each atom i by key(row), a tuple of four int64; rows with
/// equal keys keep their order.
template <class Key>
void sort_rows_of_each_atom(PairList& rows, Key key) {
    using Tuple = std::array<i64, 4>;
    std::vector<Tuple> keys;
    std::vector<std::size_t> order;
    std::vector<i64> ints;
    std::vector<double> reals;
    for (std::size_t begin = 0, end; begin < rows.size(); begin = end) {
        for (end = begin + 1; end < rows.size() && rows.i[end] == rows.i[begin];) ++end;
        std::size_t m = end - begin;
        keys.resize(m);
        order.resize(m);
        for (std::size_t r = 0; r < m; ++r) {
            keys[r] = key(begin + r);
            order[r] = r;
        }
        if (std::is_sorted(keys.begin(), keys.end())) continue;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return keys[x] < keys[y]; });
        auto permute = [&](auto* data, std::size_t width, auto& scratch) {
            scratch.assign(data + width * begin, data + width * end);
            for (std::size_t r = 0; r < m; ++r)
                for (std::size_t x = 0; x < width; ++x)
                    data[width * (begin + r) + x] = scratch[width * order[r] + x];
        };
        permute(rows.j.data(), 1, ints);
        permute(rows.S.data(), 3, ints);
        permute(rows.d.data(), 1, reals);
        permute(rows.D.data(), 3, reals);
    }
}

}  // namespace

void CellSearch::order_rows(PairList& rows) const {
    if (order_ == Order::kShift) {
        sort_rows_of_each_atom(rows, [&](std::size_t r) {
            return std::array<i64, 4>{rows.S[3 * r], rows.S[3 * r + 1], rows.S[3 * r + 2], rows.j[r]};
        });
        return;
    }
    // The cell grid's offset of each row: its bin's offset o from atom i's bin,
    // with S = (shift_i + q) - shift_j and c_i + o = q·n + c_j on every axis.
    // A row beyond the grid's reach, which its scan would have missed, takes
    // its place by the same key.
    const GridState& g = cell_grid_;
    auto offset = [&](std::size_t r, int k) {
        auto i = static_cast<std::size_t>(rows.i[r]), j = static_cast<std::size_t>(rows.j[r]);
        i128 q = static_cast<i128>(rows.S[3 * r + k]) - g.shift[3 * i + k] + g.shift[3 * j + k];
        i128 o = q * static_cast<i128>(g.n[k]) + static_cast<i128>(g.coord[3 * j + k]) -
                 static_cast<i128>(g.coord[3 * i + k]);
        constexpr i128 kMax = std::numeric_limits<i64>::max();
        return static_cast<i64>(std::clamp(o, -kMax, kMax));
    };
    sort_rows_of_each_atom(rows, [&](std::size_t r) {
        return std::array<i64, 4>{offset(r, 2), offset(r, 1), offset(r, 0), rows.j[r]};
    });
}

/// A rough guess of the row count from the atoms' density, so that the lists
/// are reserved once (address space only: pages are backed when written)
/// instead of growing through copies and small pages.
u64 CellSearch::estimate_rows() const {
    double volume;
    if (in_.pbc[0] && in_.pbc[1] && in_.pbc[2]) {
        volume = volume_;
    } else {
        double lo[3], hi[3];
        for (int x = 0; x < 3; ++x) {
            lo[x] = std::numeric_limits<double>::infinity();
            hi[x] = -lo[x];
        }
        for (std::size_t a = 0; a < n_atoms_; ++a)
            if (finite_[a])
                for (int x = 0; x < 3; ++x) {
                    lo[x] = std::min(lo[x], p_[3 * a + x]);
                    hi[x] = std::max(hi[x], p_[3 * a + x]);
                }
        volume = 1.0;
        for (int x = 0; x < 3; ++x) volume *= std::max(hi[x] - lo[x], cutoff_);
    }
    double nf = static_cast<double>(n_finite_);
    double per_atom = nf / volume * (4.0 / 3.0 * 3.141592653589793 * cutoff_ * cutoff_ * cutoff_);
    double rows = nf * per_atom * 2.0;
    if (!(rows >= 0.0)) return 0;
    return rows >= 1e18 ? u64{1} << 60 : static_cast<u64>(rows);
}

}  // namespace kestrix::vicinal::detail

namespace kestrix::vicinal {

using detail::CellSearch;
using detail::KeepAll;

SearchResult build_neighbor_list(const SearchInput& in, double cutoff) {
    CellSearch search(in, cutoff);
    switch (search.prepare()) {
        case CellSearch::Stage::kError: return search.error();
        case CellSearch::Stage::kEmpty: return PairList{};
        case CellSearch::Stage::kReady: break;
    }
    KeepAll keep;
    return search.scan(keep);
}

}  // namespace kestrix::vicinal
