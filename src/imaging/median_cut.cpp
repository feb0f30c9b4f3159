#include "imaging/median_cut.h"

#include <algorithm>
#include <limits>
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace vexo {

// ---- TPalHistgram ----

std::uint64_t TPalHistgram::Sum(int lo, int hi) const {
  lo = std::max(lo, 0);
  hi = std::min(hi, 255);
  std::uint64_t sum = 0;
  for (int i = lo; i <= hi; ++i) sum += counter_[static_cast<std::size_t>(i)];
  return sum;
}

int TPalHistgram::Mean(int lo, int hi) const {
  lo = std::max(lo, 0);
  hi = std::min(hi, 255);
  std::uint64_t sum = 0;
  std::int64_t moment = 0;
  for (int i = lo; i <= hi; ++i) {
    const std::uint32_t c = counter_[static_cast<std::size_t>(i)];
    sum += c;
    moment += static_cast<std::int64_t>(i - 128) * c;
  }
  if (sum == 0) return 0;
  // At most 256 × (2^32 - 1), so the sum fits a signed 64-bit division.
  const std::int64_t mean = moment / static_cast<std::int64_t>(sum) + 128;
  return static_cast<int>(std::clamp<std::int64_t>(mean, 0, 255));
}

// ---- TMedianColor ----

void TMedianColor::SetBitCount(int bits) {
  bitCount_ = bits < 1 ? 1 : std::min(bits, 8);
}

namespace {

enum class Axis { kRed, kGreen, kBlue };

int& minOf(TMedianColor::Box& box, Axis axis) {
  return axis == Axis::kRed ? box.redMin : axis == Axis::kGreen ? box.greenMin : box.blueMin;
}
int& maxOf(TMedianColor::Box& box, Axis axis) {
  return axis == Axis::kRed ? box.redMax : axis == Axis::kGreen ? box.greenMax : box.blueMax;
}

}  // namespace

void TMedianColor::Build() {
  boxes_.clear();
  palette_.clear();
  boxes_.reserve(std::size_t{1} << bitCount_);
  boxes_.push_back(Box{});

  for (int pass = 0; pass < bitCount_; ++pass) {
    const std::size_t present = boxes_.size();  // boxes split off in this pass wait for the next
    for (std::size_t j = 0; j < present; ++j) {
      Box& box = boxes_[j];
      const int lr = box.redMax - box.redMin;
      const int lg = box.greenMax - box.greenMin;
      const int lb = box.blueMax - box.blueMin;
      const Axis axis = std::max(lr, lg) < lb ? Axis::kBlue : lr < lg ? Axis::kGreen : Axis::kRed;
      const TPalHistgram& histogram = axis == Axis::kRed     ? red_
                                      : axis == Axis::kGreen ? green_
                                                             : blue_;
      const int lo = minOf(box, axis), hi = maxOf(box, axis);
      // The weighted mean of a populated range lies inside it and an empty range gives 0; the
      // clamp to lo..hi keeps both halves non-empty whatever the mean.
      int h = std::clamp(histogram.Mean(lo, hi), lo, std::max(lo, hi));
      if (h == lo) {
        if (lo >= hi) continue;
        h = lo + 1;
      }
      Box upper = box;
      minOf(upper, axis) = h;
      maxOf(box, axis) = h - 1;
      boxes_.push_back(upper);  // capacity is reserved, so box stays valid
    }
  }

  const std::size_t size = bitCount_ == 1 ? 2 : bitCount_ <= 4 ? 16 : 256;
  palette_.assign(size, PaletteEntry{});
  for (std::size_t i = 0; i < boxes_.size(); ++i) {
    const Box& box = boxes_[i];
    palette_[i].red = static_cast<std::uint8_t>(red_.Mean(box.redMin, box.redMax));
    palette_[i].green = static_cast<std::uint8_t>(green_.Mean(box.greenMin, box.greenMax));
    palette_[i].blue = static_cast<std::uint8_t>(blue_.Mean(box.blueMin, box.blueMax));
  }
}

// ---- TPaletteFinder ----
//
// The colour cube is cut into 32 × 32 × 32 cells of 8 × 8 × 8 values. A cell's candidate list
// holds every active entry whose smallest possible distance to a point of the cell is not above
// the largest distance some single entry can have from any point of the cell: an entry outside
// the list is farther from every point of the cell than that entry, so it can never be the
// nearest. The comparison is inclusive so that tied entries stay in the list, and the search
// orders candidates by distance, then index, so the lowest index wins ties exactly as in a scan
// of the whole palette. Lists are built on the first query into the cell.
//
// A list is laid out for a short search without data-dependent branches: a 4-byte header whose
// first byte is the number of groups minus one, then groups of four candidates, each candidate
// as red, green, blue, index. The last group is filled up with copies of a candidate, which
// cannot change the answer.

namespace {

constexpr int kCellShift = 3;
constexpr int kCellSide = 1 << kCellShift;  // values per cell along an axis
constexpr int kCellsPerAxis = 256 / kCellSide;
constexpr int kCellCount = kCellsPerAxis * kCellsPerAxis * kCellsPerAxis;
constexpr int kGroup = 4;      // candidates per group
constexpr int kCandidate = 4;  // bytes per candidate

inline int squared(int v) {
  return v * v;
}

// Smallest and largest squared distance from v to the values lo..lo + kCellSide - 1.
inline int nearAxis(int v, int lo) {
  const int hi = lo + kCellSide - 1;
  return v < lo ? squared(lo - v) : v > hi ? squared(v - hi) : 0;
}
inline int farAxis(int v, int lo) {
  const int hi = lo + kCellSide - 1;
  return std::max(squared(v - lo), squared(hi - v));
}

#if !(defined(__SSE2__) && defined(__x86_64__))
// Distance and index in one key: the smallest key is the nearest entry with the lowest index.
// Squared distances stay below 2^18, so the key fits.
inline unsigned key(const std::uint8_t* c, int red, int green, int blue) {
  const int d = squared(blue - c[2]) + squared(green - c[1]) + squared(red - c[0]);
  return static_cast<unsigned>(d) << 8 | c[3];
}
#endif

// Builds the candidate list of a cell at the end of candidates and returns its offset.
[[gnu::noinline]] std::int32_t buildCell(const std::array<PaletteEntry, 256>& entries, int active,
                                         int cell, std::vector<std::uint8_t>& candidates) {
  const int r0 = cell / (kCellsPerAxis * kCellsPerAxis) * kCellSide;
  const int g0 = cell / kCellsPerAxis % kCellsPerAxis * kCellSide;
  const int b0 = cell % kCellsPerAxis * kCellSide;
  int bound = std::numeric_limits<int>::max();
  for (int i = 0; i < active; ++i) {
    const PaletteEntry& e = entries[static_cast<std::size_t>(i)];
    bound = std::min(bound, farAxis(e.red, r0) + farAxis(e.green, g0) + farAxis(e.blue, b0));
  }
  // Colour and index in one number; n ≥ 1, as the entry giving the bound is within it.
  std::array<std::uint32_t, 256> found;
  std::size_t n = 0;
  for (int i = 0; i < active; ++i) {
    const PaletteEntry& e = entries[static_cast<std::size_t>(i)];
    if (nearAxis(e.red, r0) + nearAxis(e.green, g0) + nearAxis(e.blue, b0) <= bound)
      found[n++] = std::uint32_t{e.red} << 24 | std::uint32_t{e.green} << 16 |
                   std::uint32_t{e.blue} << 8 | static_cast<std::uint32_t>(i);
  }
  // A repeated colour never beats its first occurrence, which has the lower index: palettes
  // padded with copies of one colour would otherwise make long lists.
  std::sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n));
  n = static_cast<std::size_t>(
      std::unique(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n),
                  [](std::uint32_t a, std::uint32_t b) { return a >> 8 == b >> 8; }) -
      found.begin());

  const std::size_t groups = (n + kGroup - 1) / kGroup;
  const std::size_t start = candidates.size();
  candidates.resize(start + kCandidate + groups * kGroup * kCandidate);
  std::uint8_t* out = candidates.data() + start;
  out[0] = static_cast<std::uint8_t>(groups - 1);
  out += kCandidate;
  for (std::size_t k = 0; k < groups * kGroup; ++k, out += kCandidate) {
    const std::uint32_t f = found[k < n ? k : 0];
    out[0] = static_cast<std::uint8_t>(f >> 24);
    out[1] = static_cast<std::uint8_t>(f >> 16);
    out[2] = static_cast<std::uint8_t>(f >> 8);
    out[3] = static_cast<std::uint8_t>(f);
  }
  return static_cast<std::int32_t>(start);
}

// The nearest of a cell's candidates.
inline int scanCell(const std::uint8_t* list, int red, int green, int blue) {
  const int groups = list[0] + 1;
  const std::uint8_t* group = list + kCandidate;
#if defined(__SSE2__) && defined(__x86_64__)
  // Four candidates at a time: their bytes widened to 16 bits, the differences squared and
  // summed in pairs (pmaddwd), keys formed and the smaller kept lane by lane. Keys are below
  // 2^26, so the signed comparison orders them.
  const __m128i query = _mm_shuffle_epi32(
      _mm_cvtsi64_si128(static_cast<long long>(static_cast<std::uint64_t>(blue) << 32 |
                                               static_cast<std::uint64_t>(green) << 16 |
                                               static_cast<std::uint64_t>(red))),
      _MM_SHUFFLE(1, 0, 1, 0));
  const __m128i colourOnly = _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
  const __m128i zero = _mm_setzero_si128();
  auto keepLess = [](__m128i a, __m128i b) {
    const __m128i less = _mm_cmplt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(less, a), _mm_andnot_si128(less, b));
  };
  __m128i best = _mm_set1_epi32(std::numeric_limits<int>::max());
  for (int g = 0; g < groups; ++g, group += kGroup * kCandidate) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(group));
    __m128i lo = _mm_and_si128(_mm_sub_epi16(_mm_unpacklo_epi8(c, zero), query), colourOnly);
    __m128i hi = _mm_and_si128(_mm_sub_epi16(_mm_unpackhi_epi8(c, zero), query), colourOnly);
    lo = _mm_madd_epi16(lo, lo);  // red² + green², blue² of candidates 0 and 1
    hi = _mm_madd_epi16(hi, hi);  // the same of candidates 2 and 3
    const __m128 lof = _mm_castsi128_ps(lo), hif = _mm_castsi128_ps(hi);
    const __m128i d =
        _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(lof, hif, _MM_SHUFFLE(2, 0, 2, 0))),
                      _mm_castps_si128(_mm_shuffle_ps(lof, hif, _MM_SHUFFLE(3, 1, 3, 1))));
    best = keepLess(_mm_or_si128(_mm_slli_epi32(d, 8), _mm_srli_epi32(c, 24)), best);
  }
  best = keepLess(best, _mm_shuffle_epi32(best, _MM_SHUFFLE(1, 0, 3, 2)));
  best = keepLess(best, _mm_shuffle_epi32(best, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(best) & 0xFF;
#else
  unsigned best = std::numeric_limits<unsigned>::max();
  for (int g = 0; g < groups; ++g, group += kGroup * kCandidate) {
    const unsigned a = std::min(key(group, red, green, blue), key(group + 4, red, green, blue));
    const unsigned b =
        std::min(key(group + 8, red, green, blue), key(group + 12, red, green, blue));
    best = std::min(best, std::min(a, b));
  }
  return static_cast<int>(best & 0xFF);
#endif
}

// A plain scan for colours outside the cube, where the cells do not apply, and for an empty
// palette (0).
[[gnu::noinline]] int nearestAnywhere(const std::array<PaletteEntry, 256>& entries, int active,
                                      int red, int green, int blue) {
  int best = 0;
  std::uint64_t bestDistance = std::numeric_limits<std::uint64_t>::max();
  for (int i = 0; i < active; ++i) {
    const PaletteEntry& e = entries[static_cast<std::size_t>(i)];
    const std::int64_t db = std::int64_t{blue} - e.blue, dg = std::int64_t{green} - e.green,
                       dr = std::int64_t{red} - e.red;
    // Each square fits 63 bits even for the extreme ints, their sum 64.
    const std::uint64_t d = static_cast<std::uint64_t>(db * db) +
                            static_cast<std::uint64_t>(dg * dg) +
                            static_cast<std::uint64_t>(dr * dr);
    if (d < bestDistance) bestDistance = d, best = i;
  }
  return best;
}

}  // namespace

TPaletteFinder::TPaletteFinder() : cellStart_(kCellCount, -1) {}
TPaletteFinder::~TPaletteFinder() = default;

void TPaletteFinder::reset() {
  std::fill(cellStart_.begin(), cellStart_.end(), -1);
  candidates_.clear();
}

void TPaletteFinder::Load(const Palette& palette) {
  count_ = static_cast<int>(std::min<std::size_t>(palette.size(), entries_.size()));
  entries_.fill(PaletteEntry{});
  std::copy_n(palette.begin(), count_, entries_.begin());
  active_ = limit_ > 0 && limit_ < count_ ? limit_ : count_;
  reset();
}

void TPaletteFinder::SetLimit(int limit) {
  limit_ = limit;
  // A negative limit lifts it, as 0 does, the same rule Load applies.
  active_ = limit_ > 0 && limit_ < count_ ? limit_ : count_;
  reset();
}

int TPaletteFinder::NearestIndex(int red, int green, int blue) {
  if (static_cast<unsigned>(red | green | blue) > 255 || active_ <= 0) [[unlikely]]
    return nearestAnywhere(entries_, active_, red, green, blue);
  const int cell = (red >> kCellShift) * kCellsPerAxis * kCellsPerAxis +
                   (green >> kCellShift) * kCellsPerAxis + (blue >> kCellShift);
  const std::int32_t start = cellStart_[static_cast<std::size_t>(cell)];
  if (start < 0) [[unlikely]]
    return searchCell(cell, red, green, blue);
  return scanCell(candidates_.data() + start, red, green, blue);
}

// The first query into a cell: builds its list, then searches it.
int TPaletteFinder::searchCell(int cell, int red, int green, int blue) {
  const std::int32_t start = buildCell(entries_, active_, cell, candidates_);
  cellStart_[static_cast<std::size_t>(cell)] = start;
  return scanCell(candidates_.data() + start, red, green, blue);
}

}  // namespace vexo
