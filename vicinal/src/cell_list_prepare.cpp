// The steps before the scan, run in order by prepare_search(): the checks on
// the input, the cell grid or a frame to bin the atoms in, and the checks on
// the result's size; with the texts of the errors they find.

#include "cell_list_prepare.hpp"

#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "kestrix/panic.hpp"
#include "kestrix/vec3.hpp"

namespace kestrix::vicinal::detail {
namespace {

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

/// How many offsets one atom's box of reach spans, (2r + 1) per axis.
double offset_box(const Grid& grid) {
    double box = 1.0;
    for (u64 r : grid.reach) box *= 2.0 * static_cast<double>(r) + 1.0;
    return box;
}

/// kTooLarge at once when every finite atom's images of itself already outgrow memory.
Fit check_result_size(const Grid& grid, const Atoms& atoms, const Cell& cell,
                      const std::array<bool, 3>& pbc, double cutoff) {
    if (!(pbc[0] || pbc[1] || pbc[2])) return Fit::kFits;
    std::array<double, 3> q_max{};
    const double offsets = offset_box(grid);
    for (int k = 0; k < 3; ++k) {
        // q covers -Q..Q in the atom's own bin whenever Q·n + n - 1 <= r.
        i128 r = grid.reach[k], n = grid.bins[k];
        i128 q = r >= n - 1 ? (r - n + 1) / n : 0;
        q_max[k] = std::min(static_cast<double>(q), 9007199254740992.0);
    }
    double limit = static_cast<double>(row_limit());
    double nf = static_cast<double>(atoms.finite_count);
    // No more rows than candidate pairs: skip the bound when they fit anyway.
    if (nf * nf * offsets <= limit) return Fit::kFits;
    double per_atom = self_image_rows(cell, pbc, cutoff, q_max);
    return per_atom * nf > limit ? Fit::kTooLarge : Fit::kFits;
}

/// The last step on the grid the atoms are binned on: the result's size
/// checked, then the windows of the long-reach axes set.
Fit finish_binning(Binning& binning, const Atoms& atoms, const Cell& cell, const SearchInput& in,
                   double cutoff) {
    if (check_result_size(binning.grid, atoms, cell, in.pbc, cutoff) == Fit::kTooLarge) return Fit::kTooLarge;
    return prepare_windows(binning, atoms, cell, in.pbc, cutoff);
}

/// Where the cell grid would visit thousands of offsets per atom, as when an
/// open row nearly lies in the periodic ones, bins the atoms in a frame across
/// the periodic rows if that visits far fewer; the rows found there are put
/// back in the cell grid's offsets and order.
void try_frame_instead(Prepared& ready, const SearchInput& in, double cutoff, Arena& arena) {
    constexpr double kFewOffsets = 0x1p24, kPerAtom = 4096.0, kGain = 16.0;
    const Atoms& atoms = ready.atoms;
    if (offset_box(ready.binning.grid) <= kPerAtom) return;
    double cell_work = planned_offsets(ready.binning, atoms, in.pbc);
    if (cell_work <= std::max(kFewOffsets, kPerAtom * static_cast<double>(atoms.finite_count))) return;

    Binning framed = ready.binning;
    framed.shift = arena.alloc<i64>(3 * atoms.count);
    framed.coord = arena.alloc<u64>(3 * atoms.count);
    bool better = false;
    try {
        BinFrame frame;
        better = make_bin_frame(ready.cell, in.pbc, atoms.position, atoms.finite, atoms.count, frame) &&
                 bin_in_frame(framed, atoms, frame, in, cutoff) &&
                 prepare_windows(framed, atoms, ready.cell, in.pbc, cutoff) == Fit::kFits &&
                 planned_offsets(framed, atoms, in.pbc) * kGain < cell_work;
    } catch (const std::bad_alloc&) {
        better = false;  // the frame's own scratch; the cell grid still scans
    }
    if (!better) return;
    ready.cell_binning = ready.binning;
    ready.binning = framed;
    ready.order = RowOrder::kCellGrid;
}

}  // namespace

u64 row_limit() {
    double rows = std::floor(physical_memory_bytes() / static_cast<double>(kRowBytes));
    return rows >= 1.8e19 ? ~u64{0} : static_cast<u64>(rows);
}

Preparation prepare_search(const SearchInput& in, double cutoff, Arena& arena) {
    const auto& pos = in.positions;
    if (pos.rows <= 0) return NothingToFind{};
    if (in.cell.rows < 3 || in.cell.cols < 3) panic(kIndexOutOfBounds);
    bool any_periodic = in.pbc[0] || in.pbc[1] || in.pbc[2];
    if (cutoff == std::numeric_limits<double>::infinity() && any_periodic)
        return SearchError{SearchError::Kind::kValue, kInfiniteCutoff};
    Prepared ready;
    Cell& cell = ready.cell;
    for (int r = 0; r < 3; ++r)
        for (int x = 0; x < 3; ++x) cell[r][x] = in.cell(r, x);
    CellGeometry geometry = cell_geometry(cell);
    Binning& binning = ready.binning;
    for (int k = 0; k < 3; ++k) binning.grid.height[k] = geometry.height[k];
    binning.grid.volume = geometry.volume;
    size_grid(binning.grid, in, cutoff, 0);
    if (!in.use_scaled_positions && std::fabs(geometry.det) < 1e-15)
        return SearchError{SearchError::Kind::kValue, singular_cell_message(geometry.det)};
    if (pos.cols < 3) panic(kIndexOutOfBounds);

    // A row needs d2 < cutoff², which no zero, negative or NaN cutoff allows
    // (a negative one is refused rather than read as its magnitude), and every
    // D is NaN or infinite when the cell is not finite.
    if (!(cutoff > 0.0) || cutoff * cutoff == 0.0) return NothingToFind{};
    for (const auto& row : cell)
        if (!finite(row)) return NothingToFind{};

    const Atoms& atoms = ready.atoms = place_atoms(arena, in, cell);
    binning.shift = arena.alloc<i64>(3 * atoms.count);
    binning.coord = arena.alloc<u64>(3 * atoms.count);
    if (atoms.finite_count == 0) return NothingToFind{};
    // Made only when it is the outcome: the text would be allocated on every call.
    auto shift_out_of_range = [] { return SearchError{SearchError::Kind::kOverflow, kShiftOutOfRange}; };
    if (periodic_rows_dependent(cell, in.pbc)) return SearchError{SearchError::Kind::kValue, kDependentRows};
    if (!self_images_fit_surely(binning.grid, cell, in.pbc, cutoff) &&
        self_image_beyond_int64(cell, in.pbc, cutoff))
        return shift_out_of_range();

    if (grid_is_regular(binning.grid, in.pbc)) {
        if (!bin_in_cell_grid(binning, atoms, geometry, in)) return shift_out_of_range();
        if (!open_axis_unscanned(binning, atoms, in.pbc)) {
            if (finish_binning(binning, atoms, cell, in, cutoff) == Fit::kTooLarge) return TooLarge{};
            try_frame_instead(ready, in, cutoff, arena);
            return ready;
        }
    }
    // The cell grid misses rows here: the atoms are binned across the
    // periodic rows, and each atom's rows ordered by (S, j).
    ready.order = RowOrder::kShift;
    BinFrame frame;
    // No finite frame: the periodic rows are independent, yet so nearly
    // dependent that no double can describe the lattice's spacing.
    if (!make_bin_frame(cell, in.pbc, atoms.position, atoms.finite, atoms.count, frame)) return TooLarge{};
    if (!bin_in_frame(binning, atoms, frame, in, cutoff)) return shift_out_of_range();
    if (finish_binning(binning, atoms, cell, in, cutoff) == Fit::kTooLarge) return TooLarge{};
    return ready;
}

}  // namespace kestrix::vicinal::detail
