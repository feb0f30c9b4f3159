// The 8 × 8 transforms against the defining double sums, evaluated term by term over all 64
// samples (or coefficients) for every output, on synthetic and real photo blocks; and against
// exact integer arithmetic for the coefficients whose values are multiples of 1/8, where .5
// ties are common and must round to even.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "input/jpeg_reader.h"
#include "jpeg/dct.h"
#include "support/reference.h"

namespace vexo::jpeg {
namespace {

using Samples = std::array<std::uint8_t, 64>;
using Coefficients = std::array<std::int32_t, 64>;

// basis[k][i]: a(u) a(v) / 4 × cos((2x+1)uπ/16) cos((2y+1)vπ/16) for the coefficient at natural
// position k = v * 8 + u and the sample at i = y * 8 + x.
struct Basis {
  std::array<std::array<double, 64>, 64> b;
  Basis() {
    auto a = [](int k) { return k == 0 ? 1 / std::sqrt(2.0) : 1.0; };
    for (int v = 0; v < 8; ++v) {
      for (int u = 0; u < 8; ++u) {
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            b[v * 8 + u][y * 8 + x] = a(u) * a(v) / 4 *
                                      std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                                      std::cos((2 * y + 1) * v * std::numbers::pi / 16);
          }
        }
      }
    }
  }
};

const Basis& basis() {
  static const Basis instance;
  return instance;
}

// The exact values of the direct sums (before rounding and level shift).
std::array<double, 64> OracleForward(const Samples& f) {
  std::array<double, 64> out{};
  for (int k = 0; k < 64; ++k) {
    double sum = 0;
    for (int i = 0; i < 64; ++i) sum += basis().b[k][i] * f[i];
    out[k] = sum;
  }
  return out;
}

std::array<double, 64> OracleInverse(const Coefficients& c) {
  std::array<double, 64> out{};
  for (int i = 0; i < 64; ++i) {
    double sum = 0;
    for (int k = 0; k < 64; ++k) sum += basis().b[k][i] * (c[k] + (k == 0 ? 1024.0 : 0.0));
    out[i] = sum;
  }
  return out;
}

bool NearTie(double value) {
  return std::abs(value - std::floor(value) - 0.5) < 1e-6;
}

// Half-to-even rounding of n / 8 in integers.
std::int64_t RoundEighths(std::int64_t n) {
  const std::int64_t q = n >= 0 ? n / 8 : -((-n + 7) / 8);  // floor
  const std::int64_t r = n - q * 8;
  if (r > 4 || (r == 4 && (q & 1))) return q + 1;
  return q;
}

// Sign of cos((2n+1)π/4): the basis of frequency 4 is ±√2/2.
constexpr int kSign4[8] = {1, -1, -1, 1, 1, -1, -1, 1};

struct Variant {
  std::string name;
  bool automatic;  // the plain overloads, which pick a variant themselves
  DctVariant variant;
};

std::vector<Variant> SupportedVariants() {
  std::vector<Variant> out = {{"Automatic", true, DctVariant::kGeneric}};
  for (auto [name, v] :
       {std::pair{"Generic", DctVariant::kGeneric}, std::pair{"Avx2", DctVariant::kAvx2},
        std::pair{"Avx512", DctVariant::kAvx512}}) {
    if (DctVariantSupported(v)) out.push_back({name, false, v});
  }
  return out;
}

// ---- Blocks ----

struct SampleSet {
  std::string name;
  std::vector<Samples> blocks;
};

Samples Flat(int value) {
  Samples s;
  s.fill(static_cast<std::uint8_t>(value));
  return s;
}

// The colour channels of a real photograph, cut into 8 × 8 blocks: about `count` blocks spread
// evenly over the image.
std::vector<Samples> PhotoBlocks(const std::string& file, std::size_t count) {
  const auto bytes = test::readFile(std::string(VEXO_CORPUS_DIR) + "/" + file);
  const Bitmap image = DecodeJpegWithLibjpeg(bytes, DecodeLimits::defaults());
  const std::size_t across = static_cast<std::size_t>(image.width() / 8);
  const std::size_t total = across * static_cast<std::size_t>(image.height() / 8) * 3;
  const std::size_t step = std::max<std::size_t>(1, total / count);
  std::vector<Samples> blocks;
  for (std::size_t n = 0; n < total; n += step) {
    const std::size_t position = n / 3, channel = n % 3;
    const int bx = static_cast<int>(position % across) * 8,
              by = static_cast<int>(position / across) * 8;
    Samples s;
    for (int y = 0; y < 8; ++y) {
      const std::uint8_t* row = image.row(by + y);
      for (int x = 0; x < 8; ++x) s[y * 8 + x] = row[(bx + x) * 3 + channel];
    }
    blocks.push_back(s);
  }
  return blocks;
}

const std::vector<SampleSet>& SampleSets() {
  static const std::vector<SampleSet> sets = [] {
    std::vector<SampleSet> out;
    std::mt19937 rng(20240611);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    SampleSet random{"Random", {}};
    for (int n = 0; n < 30000; ++n) {
      Samples s;
      for (auto& v : s) v = static_cast<std::uint8_t>(uniform(0, 255));
      random.blocks.push_back(s);
    }
    out.push_back(std::move(random));

    SampleSet flat{"Flat", {}};
    for (int v = 0; v < 256; ++v) flat.blocks.push_back(Flat(v));
    out.push_back(std::move(flat));

    SampleSet extremes{"Extremes", {Flat(0), Flat(255)}};
    for (int n = 0; n < 5000; ++n) {
      Samples s;
      for (auto& v : s) v = uniform(0, 1) ? 255 : 0;
      extremes.blocks.push_back(s);
    }
    for (int n = 0; n < 64; ++n) {  // one odd sample in a flat block
      Samples s = Flat(0), t = Flat(255);
      s[static_cast<std::size_t>(n)] = 255;
      t[static_cast<std::size_t>(n)] = 0;
      extremes.blocks.push_back(s);
      extremes.blocks.push_back(t);
    }
    out.push_back(std::move(extremes));

    SampleSet boards{"Checkerboards", {}};
    for (int cell : {1, 2, 4}) {
      for (int a = 0; a <= 255; a += 15) {
        for (int b = 0; b <= 255; b += 17) {
          Samples s;
          for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) s[y * 8 + x] = ((x / cell + y / cell) % 2) ? a : b;
          }
          boards.blocks.push_back(s);
        }
      }
    }
    out.push_back(std::move(boards));

    SampleSet gradients{"Gradients", {}};
    for (int n = 0; n < 5000; ++n) {
      const double gx = uniform(-32, 32), gy = uniform(-32, 32), base = uniform(0, 255);
      Samples s;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          const double v = base + gx * (x - 3.5) + gy * (y - 3.5);
          s[y * 8 + x] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
      }
      gradients.blocks.push_back(s);
    }
    out.push_back(std::move(gradients));

    SampleSet photo{"Photo", PhotoBlocks("jpeg/wuffs/harvesters.jpeg", 50000)};
    for (const Samples& s : PhotoBlocks("photos/p05.jpg", 20000)) photo.blocks.push_back(s);
    out.push_back(std::move(photo));
    return out;
  }();
  return sets;
}

// Typical quantisation tables in natural order: the codec's base table at quality 75 and 50,
// and a coarse one.
std::vector<std::array<int, 64>> QuantTables() {
  const int base[64] = {8,  6,  5,  8,  12, 20, 26, 31, 6,  6,  7,  10, 13, 29, 30, 28,
                        7,  7,  8,  12, 20, 29, 35, 28, 7,  9,  11, 15, 26, 44, 40, 31,
                        9,  11, 19, 28, 34, 55, 52, 39, 12, 18, 28, 32, 41, 52, 57, 46,
                        25, 32, 39, 44, 52, 61, 60, 51, 36, 46, 48, 49, 56, 50, 52, 50};
  std::vector<std::array<int, 64>> tables;
  for (double factor : {0.5, 1.0, 3.0}) {
    std::array<int, 64> t{};
    for (int k = 0; k < 64; ++k) {
      t[static_cast<std::size_t>(k)] =
          std::clamp(static_cast<int>(std::nearbyint(base[k] * factor)), 1, 255);
    }
    tables.push_back(t);
  }
  return tables;
}

struct CoefficientSet {
  std::string name;
  std::vector<Coefficients> blocks;
};

const std::vector<CoefficientSet>& CoefficientSets() {
  static const std::vector<CoefficientSet> sets = [] {
    std::vector<CoefficientSet> out;
    std::mt19937 rng(77);

    // Photo blocks through the encoder's quantisation and back.
    CoefficientSet photo{"DequantisedPhoto", {}};
    const auto tables = QuantTables();
    const auto& photoSet = SampleSets().back().blocks;
    for (std::size_t n = 0; n < photoSet.size(); n += 2) {
      const auto& table = tables[n % tables.size()];
      Coefficients f;
      ForwardDct(photoSet[n].data(), f.data());
      for (std::size_t k = 0; k < 64; ++k) {
        const int q = table[k];
        const int value = (f[k] + q / 2) / q;  // truncating toward zero
        f[k] = value * q;
      }
      photo.blocks.push_back(f);
    }
    out.push_back(std::move(photo));

    // Random coefficients whose spread falls with frequency, as in images.
    CoefficientSet random{"Random", {}};
    for (int n = 0; n < 20000; ++n) {
      const auto& table = tables[static_cast<std::size_t>(n) % tables.size()];
      Coefficients c{};
      for (std::size_t k = 0; k < 64; ++k) {
        const int u = static_cast<int>(k % 8), v = static_cast<int>(k / 8);
        const double spread = k == 0 ? 1024 : 600.0 / (1 + u + v);
        const int value = static_cast<int>(std::normal_distribution<double>(0, spread)(rng));
        c[k] = std::clamp(value, -1024, 1016) / table[k] * table[k];
      }
      random.blocks.push_back(c);
    }
    out.push_back(std::move(random));

    CoefficientSet impulses{"Impulses", {}};
    for (int dc : {0, -1024, -1020, 1016, 4}) {
      for (int k = 0; k < 64; ++k) {
        for (int value : {1, 2, 3, 4, 5, 7, 8, 12, 50, 100, 255, 1000, 1023, 2047}) {
          for (int sign : {1, -1}) {
            Coefficients c{};
            c[0] = dc;
            c[static_cast<std::size_t>(k)] += sign * value;
            impulses.blocks.push_back(c);
          }
        }
      }
    }
    out.push_back(std::move(impulses));

    // Far out of range: the output is limited to 0..255.
    CoefficientSet huge{"Huge", {}};
    for (int k = 0; k < 64; ++k) {
      for (std::int32_t value : {1 << 20, -(1 << 20), 2000000000, -2000000000}) {
        Coefficients c{};
        c[static_cast<std::size_t>(k)] = value;
        huge.blocks.push_back(c);
      }
    }
    out.push_back(std::move(huge));
    return out;
  }();
  return sets;
}

void Forward(const Variant& v, const Samples& s, Coefficients& c) {
  if (v.automatic) {
    ForwardDct(s.data(), c.data());
  } else {
    ForwardDct(s.data(), c.data(), v.variant);
  }
}

void Inverse(const Variant& v, const Coefficients& c, Samples& s) {
  if (v.automatic) {
    InverseDct(c.data(), s.data());
  } else {
    InverseDct(c.data(), s.data(), v.variant);
  }
}

// Every variant against the sums (computed once per block), and all variants alike to the bit,
// ties included: the output must not depend on the processor.
TEST(DctTest, ForwardMatchesDirectSum) {
  const auto variants = SupportedVariants();
  for (const SampleSet& set : SampleSets()) {
    int failures = 0;
    for (std::size_t n = 0; n < set.blocks.size() && failures < 5; ++n) {
      const auto exact = OracleForward(set.blocks[n]);
      Coefficients first{};
      for (const Variant& variant : variants) {
        Coefficients got;
        Forward(variant, set.blocks[n], got);
        if (&variant == &variants.front()) first = got;
        if (got != first) {
          ADD_FAILURE() << variant.name << " differs from " << variants.front().name << ", "
                        << set.name << " block " << n;
          ++failures;
        }
        for (int k = 0; k < 64; ++k) {
          const double want = std::nearbyint(exact[k]) - (k == 0 ? 1024 : 0);
          const double diff = got[k] - want;
          if (NearTie(exact[k]) ? std::abs(diff) > 1 : diff != 0) {
            ADD_FAILURE() << variant.name << ", " << set.name << " block " << n << " coefficient "
                          << k << ": got " << got[k] << ", sum " << exact[k] - (k == 0 ? 1024 : 0);
            ++failures;
          }
        }
      }
    }
  }
}

TEST(DctTest, InverseMatchesDirectSum) {
  const auto variants = SupportedVariants();
  for (const CoefficientSet& set : CoefficientSets()) {
    int failures = 0;
    for (std::size_t n = 0; n < set.blocks.size() && failures < 5; ++n) {
      const auto exact = OracleInverse(set.blocks[n]);
      Samples first{};
      for (const Variant& variant : variants) {
        Samples got;
        Inverse(variant, set.blocks[n], got);
        if (&variant == &variants.front()) first = got;
        if (got != first) {
          ADD_FAILURE() << variant.name << " differs from " << variants.front().name << ", "
                        << set.name << " block " << n;
          ++failures;
        }
        for (int i = 0; i < 64; ++i) {
          const double want = std::clamp(std::nearbyint(exact[i]), 0.0, 255.0);
          const double diff = got[i] - want;
          if (NearTie(exact[i]) ? std::abs(diff) > 1 : diff != 0) {
            ADD_FAILURE() << variant.name << ", " << set.name << " block " << n << " sample " << i
                          << ": got " << +got[i] << ", sum " << exact[i];
            ++failures;
          }
        }
      }
    }
  }
}

TEST(DctTest, BlockSetsAreLargeAndVaried) {
  std::size_t forward = 0, inverse = 0;
  for (const SampleSet& set : SampleSets()) {
    EXPECT_GE(set.blocks.size(), 256u) << set.name;
    forward += set.blocks.size();
  }
  for (const CoefficientSet& set : CoefficientSets()) inverse += set.blocks.size();
  EXPECT_GE(forward, 100000u);
  EXPECT_GE(inverse, 50000u);
}

class DctVariantTest : public ::testing::TestWithParam<Variant> {};

// F(u, v) for u, v in {0, 4} is an integer sum over 8: its ties are exact and go to even.
TEST_P(DctVariantTest, ForwardEighthsRoundHalfToEven) {
  int ties = 0;
  for (const SampleSet& set : SampleSets()) {
    for (std::size_t n = 0; n < set.blocks.size(); ++n) {
      const Samples& s = set.blocks[n];
      Coefficients got;
      Forward(GetParam(), s, got);
      for (int v : {0, 4}) {
        for (int u : {0, 4}) {
          std::int64_t sum = 0;
          for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
              sum += (u ? kSign4[x] : 1) * (v ? kSign4[y] : 1) * s[y * 8 + x];
            }
          }
          ties += sum % 8 == 4 || sum % 8 == -4;
          const std::int64_t want = RoundEighths(sum) - (u == 0 && v == 0 ? 1024 : 0);
          ASSERT_EQ(got[v * 8 + u], want)
              << set.name << " block " << n << " (" << u << ", " << v << ")";
        }
      }
    }
  }
  EXPECT_GT(ties, 1000);  // the case is common, not theoretical
}

// Blocks holding only those four coefficients give samples that are exact eighths.
TEST_P(DctVariantTest, InverseEighthsRoundHalfToEven) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> dc(-1024, 1016), ac(-300, 300);
  int ties = 0;
  for (int n = 0; n < 20000; ++n) {
    Coefficients c{};
    c[0] = dc(rng);
    if (n % 4 != 0) {  // a quarter stay flat
      c[4] = ac(rng);
      c[32] = ac(rng);
      c[36] = ac(rng);
    }
    Samples got;
    Inverse(GetParam(), c, got);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        const std::int64_t sum =
            c[0] + 1024 + kSign4[x] * c[4] + kSign4[y] * c[32] + kSign4[x] * kSign4[y] * c[36];
        ties += sum % 8 == 4 || sum % 8 == -4;
        const std::int64_t want = std::clamp<std::int64_t>(RoundEighths(sum), 0, 255);
        ASSERT_EQ(got[y * 8 + x], want) << "block " << n << " at " << x << ", " << y;
      }
    }
  }
  EXPECT_GT(ties, 10000);
}

// Flat blocks survive the round trip exactly; on photo content the two roundings move a sample
// by a little at most.
TEST_P(DctVariantTest, RoundTrip) {
  for (int v = 0; v < 256; ++v) {
    Coefficients c;
    Samples back;
    Forward(GetParam(), Flat(v), c);
    Inverse(GetParam(), c, back);
    EXPECT_EQ(back, Flat(v)) << v;
  }
  int worst = 0;
  for (const Samples& s : SampleSets().back().blocks) {
    Coefficients c;
    Samples back;
    Forward(GetParam(), s, c);
    Inverse(GetParam(), c, back);
    for (int i = 0; i < 64; ++i) worst = std::max(worst, std::abs(back[i] - s[i]));
  }
  EXPECT_LE(worst, 2);
}

INSTANTIATE_TEST_SUITE_P(Variants, DctVariantTest, ::testing::ValuesIn(SupportedVariants()),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace vexo::jpeg
