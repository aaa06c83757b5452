// One stripe of the semi-global matcher: its settings, working memory and the row loop over stages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "stereo/StereoEngine.h"

namespace Tarnwell::stereo::detail {

// Disparity candidates are padded to a multiple of this, the widest SIMD vector of bytes.
inline constexpr int kDisparityAlign = 64;
// Each slot of path costs is preceded by this many bytes of 255, so the d-1 and d+1 neighbours of
// the first and last candidate read "infinitely" expensive values, and data stays vector-aligned.
inline constexpr int kSlotGuard = 64;
inline constexpr std::uint8_t kInfiniteCost = 255;
// Rows that a pass runs through beyond the rows it serves, so that paths entering them have
// settled as if the image had not been cut there.
inline constexpr int kWarmUpRows = 24;
// Pixels per tile of the vector kernels (the widest vector's lanes), and the vectors of least
// costs a tile keeps per pixel: three paths from the previous row, and for two tiles (one being
// swept, one having its winners selected) the sums and the second best.
inline constexpr int kTilePixels = 64;
inline constexpr int kTileVectors = 7;

// Settings of one engine, fixed when it is created.
struct KernelParams {
    int width = 0;
    int height = 0;
    int disparities = 0;
    int paddedDisparities = 0;  // multiple of kDisparityAlign
    int slotStride = 0;         // kSlotGuard + paddedDisparities
    int paths = 4;
    int p1 = 0;
    int p2 = 0;
    int penaltyEdge = 0;
    bool subpixel = true;
    bool leftRightCheck = true;
    int leftRightMaxDiff = 1;
    int uniqueness = 0;
    // Eight paths: rows of summed downward paths kept at once; the upward pass restarts (with a
    // warm-up) every this many rows.
    int forwardRows = 0;
};

KernelParams MakeKernelParams(const StereoConfig& config);

// The penalty for a disparity step of more than one pixel between neighbours whose grey levels
// differ by `step`: P2, falling off across edges of the image, where depth edges lie, but never
// to P1 or below.
int LargePenalty(const KernelParams& p, int step);

// Tables shared by all stripes.
struct KernelTables {
    const std::uint8_t* candidates;  // 0, 1, ..., 255
    // 2*kMaxDisparities+kDisparityAlign: 255 at kMaxDisparities-1 .. kMaxDisparities+1, else 0;
    // from kMaxDisparities-winner on it masks the winner and its neighbours.
    const std::uint8_t* winnerMask;
    // 256: the penalty for a larger disparity step between neighbours whose grey levels differ
    // by the index.
    const std::uint8_t* largePenalty;
};

// The census of one row pair in the forms the cost kernels read.
struct CensusRows {
    // Source rows around the current one with replicated borders: 2*radius+1 rows of each image.
    std::uint8_t* source[2][7];
    // Left signatures: plane j holds byte j of each pixel's signature.
    std::uint8_t* left[2];
    // Right signatures and pixels in reverse order, so that the candidates of one left pixel are
    // consecutive: entry W-1-x+d belongs to right pixel x-d. Whole bytes for byte population
    // counts, nibbles for lookup tables.
    std::uint8_t* rightBytes[2];
    std::uint8_t* rightNibbles[4];
    // Each pixel's grey level against its eight neighbours' mean (HighPass), of the left view
    // in pixel order, of the right one reversed.
    std::uint8_t* leftPixels;
    std::uint8_t* rightPixels;
};

// The paths of one direction from the previous row of a pass. Rows are updated in place: the
// sweep writes pixel x over a slot of the previous row that neither pixel x nor any later pixel
// of the sweep reads, so a row's position in the ring moves by RingShift slots per row.
struct PathRing {
    std::uint8_t* slots = nullptr;  // `size` slots of slotStride bytes, guard first, and a guard
    // Each pixel's least cost, pixel x at x + 1 (the borders -1 and width stay zero): the
    // previous row's in mins[previous], the row being swept in the other, as the vectors find
    // the least costs of many pixels at once, after the pixels.
    std::uint8_t* mins[2] = {nullptr, nullptr};
    int previous = 0;
    int size = 0;    // width + 2: pixels -1 .. width, the borders zero
    int origin = 0;  // ring index of pixel -1 of the previous row
};

// How many slots the next row lands after the previous one in a ring, for a path from column
// x+dx of the previous row: pixel x reads x+dx, later pixels of a left-to-right sweep read
// further right, so x+dx-1 is free; right-to-left, x+dx+1.
constexpr int RingShift(bool leftToRight, int dx) {
    return leftToRight ? dx - 1 : dx + 1;
}

// Paths from the previous row: straight, from the column to the right, from the column to the
// left (top, top-right, top-left downwards; bottom, bottom-right, bottom-left upwards).
inline constexpr int kRowPathFrom[3] = {0, 1, -1};

// Where slot x of an array of slots starts.
inline std::uint8_t* Slot(std::uint8_t* slots, int x, int stride) {
    return slots + std::size_t(x) * stride + kSlotGuard;
}

inline int RingIndex(const PathRing& ring, int x, int origin) {
    const int i = x + 1 + origin;
    return i >= ring.size ? i - ring.size : i;
}
inline std::uint8_t* RingSlot(const PathRing& ring, int index, int stride) {
    return ring.slots + std::size_t(index) * stride + kSlotGuard;
}

// A pixel's winner, its cost and its neighbours' costs in one word, a byte each from the lowest:
// the vector kernels record a pixel with one store, and read the fields with shifts.
struct WinnerRecord {
    static std::uint32_t Pack(int winner, int cost, int before, int after) {
        return std::uint32_t(winner) | std::uint32_t(cost) << 8 | std::uint32_t(before) << 16 |
               std::uint32_t(after) << 24;
    }
    static int Winner(std::uint32_t r) { return int(r & 0xFF); }
    static int Cost(std::uint32_t r) { return int(r >> 8 & 0xFF); }
    static int Before(std::uint32_t r) { return int(r >> 16 & 0xFF); }
    static int After(std::uint32_t r) { return int(r >> 24); }
};

// Per pixel of the current row: the winner's record and the second best cost; the right view's
// winners.
struct Selection {
    std::uint32_t* record;
    std::uint8_t* second;
    // Per right pixel: the cost of its winner in the high byte, the winner in the low byte, so
    // that the least entry is the cheapest claim and, on a tie, the first pixel's.
    std::uint16_t* right;
};

// Working memory of one stripe, carved out of the engine's arena when it is created. A "slot"
// holds the costs of all candidates of one pixel behind kSlotGuard bytes of 255; arrays of slots
// end with one more guard.
struct StripeScratch {
    CensusRows census;
    // Matching costs of the rows around the current one, row r in rawCosts[r % 3], each
    // W * paddedDisparities; their smoothed costs of the current row, which the sweeps read.
    std::uint8_t* rawCosts[3];
    std::uint8_t* costs;
    // Four paths: left-to-right, top and top-right summed, W * paddedDisparities.
    std::uint8_t* partial;
    PathRing down[3];
    PathRing up[3];
    // Three slots: zero (a path entering the image), and two that alternate along the row for the
    // horizontal path.
    std::uint8_t* horizontal;
    std::uint8_t* sums;  // one slot: aggregated cost of the current pixel
    // The vector kernels' penalties of a sweep, computed for the whole row first: P2 along the
    // row, then from the previous row for each of up to three paths (width bytes each).
    std::uint8_t* penalties[4];
    // The vector kernels work in tiles of kTilePixels pixels, whose least costs they find together
    // after the tile: each pixel's vector of least costs per path, the sums' and the second
    // best's (kTileVectors vectors of kTilePixels pixels), and each pixel's sums (a slot each, for
    // two tiles).
    std::uint8_t* tileLeast;
    std::uint8_t* tileSums;
    Selection selection;
    // Eight paths: the downward paths' sums for forwardRows rows, row by row.
    std::uint8_t* forward;
};

struct StripeJob {
    const KernelParams* params = nullptr;
    const KernelTables* tables = nullptr;
    StripeScratch* scratch = nullptr;
    ImageView<const std::uint8_t> left;
    ImageView<const std::uint8_t> right;
    StereoOutput output;
    int y0 = 0;  // rows [y0, y1) are written
    int y1 = 0;
    int warmUp = 0;  // rows above the stripe that the downward pass runs through first
};

// The stages of a row, for one instruction set.
struct RowKernels {
    const char* name;
    // Census of row y and its matching costs into scratch.rawCosts.
    void (*costs)(const StripeJob& job, int y);
    // The costs of row y smoothed over its neighbours into scratch.costs; rows y-1 .. y+1 (within
    // the image) have their raw costs.
    void (*smooth)(const StripeJob& job, int y);
    // costs of row `next` (a neighbour of y, or none if negative), then smooth of row y.
    void (*costsAndSmooth)(const StripeJob& job, int y, int next);
    // The sweeps of row y. Four paths: the left-to-right sweep (paths from the left and above),
    // and, when `sum`, the sum of its paths into scratch.partial.
    void (*fourPathsForward)(const StripeJob& job, int y, bool sum);
    // Four paths: the right-to-left sweep and the selection of each pixel's winner.
    void (*fourPathsBackward)(const StripeJob& job, int y);
    // Eight paths: the downward pass's left-to-right sweep; its sums into `sums` unless null.
    void (*eightPathsDown)(const StripeJob& job, int y, std::uint8_t* sums);
    // Eight paths: the upward pass's right-to-left sweep; with `forward`, its sums and those and
    // each pixel's winner.
    void (*eightPathsUp)(const StripeJob& job, int y, const std::uint8_t* forward);
    // Sub-pixel disparities of row y from the selection.
    void (*refine)(const StripeJob& job, int y);
    // Left-right check, uniqueness and confidence of row y.
    void (*validate)(const StripeJob& job, int y);
};

// The plain C++ definition of every stage; the SIMD kernels must match it bit for bit.
const RowKernels& ReferenceKernels();
// The best SIMD kernels this CPU runs (the reference where it has none).
const RowKernels& SimdKernels();

// Name of the SIMD target SimdKernels dispatch to.
const char* KernelTargetName();
// The targets the kernels are compiled for (Highway's HWY_TARGETS as the engine sees it).
std::int64_t CompiledKernelTargets();

// Runs a stripe through the stages: one pass for four paths; for eight, a downward pass whose
// sums for forwardRows rows at a time the upward pass then completes.
void RunStripe(const RowKernels& kernels, const StripeJob& job);

// The working memory of an engine's stripes and its tables, in one block taken at once.
class Workspace {
public:
    Workspace(const KernelParams& params, int stripes);
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const KernelTables& Tables() const { return tables_; }
    StripeScratch& Stripe(int i) { return stripes_[std::size_t(i)]; }
    std::size_t Bytes() const { return used_; }

private:
    std::uint8_t* Take(std::size_t bytes, std::uint8_t fill);
    std::uint8_t* Slots(const KernelParams& p, std::size_t count);
    void Carve(const KernelParams& params);

    std::uint8_t* base_ = nullptr;
    std::size_t used_ = 0;
    std::size_t alignment_ = 0;
    KernelTables tables_{};
    std::vector<StripeScratch> stripes_;
};

// Makes a pass's rings zero: every path starts afresh in a pass's first row.
void StartPass(const KernelParams& p, PathRing* rings, int count);
// Moves a pass's rings on by one row swept in the given direction.
void AdvancePass(const KernelParams& p, PathRing* rings, int count, bool leftToRight);

}  // namespace Tarnwell::stereo::detail
