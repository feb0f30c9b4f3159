// The own PNG writer against libpng on a 12-megapixel camera photo, 8-bit RGB, at the zlib levels
// that the "PNG" "Compress" setting picks (0 none, 2 speed, 1 standard, 3 ratio: levels 0, 1, 5
// and 9), with every row filter allowed (the program's default) and, at level 5, with Sub only.
// libpng runs twice: with its defaults (zlib strategy Z_FILTERED for filtered rows) and with
// Z_DEFAULT_STRATEGY, the strategy the own writer uses. Both write into memory, so only encoding
// is timed; libpng gets top-down R, G, B rows made once before timing. "KB" is the file size.
//
// BM_PeakMemory_* write once and count the bytes allocated beyond the source image while
// writing: the own writer's C++ allocations (this file replaces the global operator new and
// delete with counting versions) plus the malloc heap in use seen at each output chunk, which
// includes zlib's state; zlib's state alone is measured with a counting allocator on a deflate
// stream of the same parameters. libpng's figure is everything it and its zlib stream allocate,
// through its user allocator.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bench_photo.h"
#include "png/png.h"

// Counting global allocation: the bytes in use now and the most since the last reset.
namespace {

std::atomic<std::size_t> gInUse{0}, gPeak{0};

void noteAlloc(void* p) {
  const std::size_t now = gInUse.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
  }
}

void* countedAlloc(std::size_t size, std::size_t align = 0) {
  if (size == 0) size = 1;
  void* p = align > alignof(std::max_align_t)
                ? std::aligned_alloc(align, (size + align - 1) / align * align)
                : std::malloc(size);
  if (p) noteAlloc(p);
  return p;
}

[[gnu::noinline]] void countedFree(void* p) {
  if (!p) return;
  gInUse.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = countedAlloc(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = countedAlloc(size, static_cast<std::size_t>(align))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return countedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return countedAlloc(size);
}
void operator delete(void* p) noexcept {
  countedFree(p);
}
void operator delete[](void* p) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  countedFree(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  countedFree(p);
}

namespace {

const vexo::Bitmap& photo() {
  return vexo::bench::corpusPhoto();
}

constexpr int kSubOnly = 1 << 1;  // the filter-set bit of Sub

// The photo top-down as R, G, B, for libpng.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
  std::vector<png_bytep> rows;
};

const RgbImage& rgbPhoto() {
  static const RgbImage image = [] {
    const vexo::Bitmap& b = photo();
    RgbImage r;
    r.width = b.width();
    r.height = b.height();
    const std::size_t rowBytes = std::size_t(r.width) * 3;
    r.pixels.resize(rowBytes * std::size_t(r.height));
    for (int y = 0; y < r.height; ++y) {
      const std::uint8_t* in = b.row(y);
      std::uint8_t* out = r.pixels.data() + rowBytes * std::size_t(y);
      for (int x = 0; x < r.width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
    }
    for (int y = 0; y < r.height; ++y)
      r.rows.push_back(r.pixels.data() + rowBytes * std::size_t(y));
    return r;
  }();
  return image;
}

void setCounters(benchmark::State& state, std::size_t bytes) {
  const vexo::Bitmap& image = photo();
  state.counters["MP"] = double(image.width()) * image.height() / 1e6;
  state.counters["KB"] = double(bytes) / 1024;
  state.SetBytesProcessed(state.iterations() * std::int64_t(image.width()) * image.height() * 3);
}

// Whether a PNG file decodes (through libpng) to exactly the photo's pixels.
bool decodesToPhoto(const std::vector<std::uint8_t>& file) {
  const vexo::Bitmap& b = photo();
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
  image.format = PNG_FORMAT_BGR;
  if (int(image.width) != b.width() || int(image.height) != b.height()) {
    png_image_free(&image);
    return false;
  }
  const std::size_t rowBytes = std::size_t(b.width()) * 3;
  std::vector<std::uint8_t> pixels(rowBytes * std::size_t(b.height()));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), png_int_32(rowBytes), nullptr))
    return false;
  for (int y = 0; y < b.height(); ++y)
    if (std::memcmp(pixels.data() + rowBytes * std::size_t(y), b.row(y), rowBytes) != 0)
      return false;
  return true;
}

// Checks each (writer, level, filters) output once per run, outside the timed loop.
bool checkedOnce(const std::string& key, const std::vector<std::uint8_t>& file) {
  static std::set<std::string> good;
  if (good.count(key)) return true;
  if (!decodesToPhoto(file)) return false;
  good.insert(key);
  return true;
}

// --- the own writer -------------------------------------------------------------------------

vexo::TPNGObject makePng(int level, int filters) {
  vexo::TPNGObject png;
  vexo::Bitmap copy = photo();
  png.AssignBitmap(std::move(copy));
  png.setDeflateLevel(level);
  png.RowFilters = static_cast<vexo::PngFilterSet>(filters);
  return png;
}

void runTPNGObject(benchmark::State& state, int level, int filters) {
  const vexo::TPNGObject png = makePng(level, filters);
  std::vector<std::uint8_t> out;
  const auto sink = [&](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  for (auto _ : state) {
    out.clear();
    png.SaveTo(sink);
    benchmark::DoNotOptimize(out.data());
  }
  if (!checkedOnce("own/" + std::to_string(level) + "/" + std::to_string(filters), out))
    state.SkipWithError("the output does not decode to the photo");
  setCounters(state, out.size());
}

// --- libpng ---------------------------------------------------------------------------------

struct LibpngAllocs {
  std::size_t inUse = 0, peak = 0;
};

png_voidp countingMalloc(png_structp png, png_alloc_size_t size) {
  auto* a = static_cast<LibpngAllocs*>(png_get_mem_ptr(png));
  void* p = std::malloc(size);
  if (p && a) {
    a->inUse += malloc_usable_size(p);
    a->peak = std::max(a->peak, a->inUse);
  }
  return p;
}

void countingFree(png_structp png, png_voidp p) {
  auto* a = static_cast<LibpngAllocs*>(png_get_mem_ptr(png));
  if (p && a) a->inUse -= malloc_usable_size(p);
  std::free(p);
}

void appendToVector(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

void noFlush(png_structp) {}

// Writes the photo with libpng into out; false when libpng reports an error. With allocs, every
// allocation of libpng (its zlib stream included) goes through the counting allocator.
bool encodeLibpng(const RgbImage& image, int level, int filters, bool defaultStrategy,
                  std::vector<std::uint8_t>& out, LibpngAllocs* allocs = nullptr) {
  png_structp png = allocs
                        ? png_create_write_struct_2(PNG_LIBPNG_VER_STRING, nullptr, nullptr,
                                                    nullptr, allocs, countingMalloc, countingFree)
                        : png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, appendToVector, noFlush);
  png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, level);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  if (defaultStrategy) png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_write_info(png, info);
  png_write_image(png, const_cast<png_bytepp>(image.rows.data()));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

void runLibpng(benchmark::State& state, int level, int filters, bool defaultStrategy) {
  const RgbImage& image = rgbPhoto();
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    if (!encodeLibpng(image, level, filters, defaultStrategy, out)) {
      state.SkipWithError("libpng failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (!checkedOnce("libpng/" + std::to_string(level) + "/" + std::to_string(filters) + "/" +
                       std::to_string(defaultStrategy),
                   out))
    state.SkipWithError("the output does not decode to the photo");
  setCounters(state, out.size());
}

// --- timings --------------------------------------------------------------------------------

// libpng's filter bits for the own writer's filter set.
int libpngFilters(int set) {
  return (set & 1 ? PNG_FILTER_NONE : 0) | (set & 2 ? PNG_FILTER_SUB : 0) |
         (set & 4 ? PNG_FILTER_UP : 0) | (set & 8 ? PNG_FILTER_AVG : 0) |
         (set & 16 ? PNG_FILTER_PAETH : 0);
}
static_assert(vexo::kAllFilters == 31);

void BM_TPNGObject(benchmark::State& state) {
  runTPNGObject(state, int(state.range(0)), vexo::kAllFilters);
}
void BM_Libpng(benchmark::State& state) {
  runLibpng(state, int(state.range(0)), PNG_ALL_FILTERS, false);
}
void BM_LibpngDefaultStrategy(benchmark::State& state) {
  runLibpng(state, int(state.range(0)), PNG_ALL_FILTERS, true);
}
void BM_TPNGObjectSub(benchmark::State& state) {
  runTPNGObject(state, int(state.range(0)), kSubOnly);
}
void BM_LibpngSub(benchmark::State& state) {
  runLibpng(state, int(state.range(0)), libpngFilters(kSubOnly), false);
}
void BM_LibpngSubDefaultStrategy(benchmark::State& state) {
  runLibpng(state, int(state.range(0)), libpngFilters(kSubOnly), true);
}

// The zlib levels of "Compress" 0, 2, 1 and 3.
void levels(benchmark::internal::Benchmark* b) {
  b->ArgName("level")->Arg(0)->Arg(1)->Arg(5)->Arg(9)->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_TPNGObject)->Apply(levels);
BENCHMARK(BM_Libpng)->Apply(levels);
BENCHMARK(BM_LibpngDefaultStrategy)->Apply(levels);
BENCHMARK(BM_TPNGObjectSub)->ArgName("level")->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngSub)->ArgName("level")->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngSubDefaultStrategy)->ArgName("level")->Arg(5)->Unit(benchmark::kMillisecond);

// --- memory ---------------------------------------------------------------------------------

std::size_t mallocInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Bytes that deflateInit at level allocates (its internal state).
std::size_t zlibStateBytes(int level) {
  struct Counter {
    std::size_t bytes = 0;
  } counter;
  z_stream z{};
  z.opaque = &counter;
  z.zalloc = [](voidpf opaque, uInt items, uInt size) -> voidpf {
    static_cast<Counter*>(opaque)->bytes += std::size_t(items) * size;
    return std::calloc(items, size);
  };
  z.zfree = [](voidpf, voidpf p) { std::free(p); };
  if (deflateInit(&z, level) != Z_OK) return 0;
  deflateEnd(&z);
  return counter.bytes;
}

void BM_PeakMemory_TPNGObject(benchmark::State& state) {
  const int level = int(state.range(0));
  const vexo::TPNGObject png = makePng(level, vexo::kAllFilters);
  std::size_t newPeak = 0, heapPeak = 0, written = 0;
  for (auto _ : state) {
    written = 0;
    const std::size_t heapBase = mallocInUse();
    std::size_t heapMax = heapBase;
    const auto sink = [&](std::span<const std::uint8_t> bytes) {
      written += bytes.size();  // counted, not kept: the output is not the writer's memory
      heapMax = std::max(heapMax, mallocInUse());
    };
    const std::size_t base = gInUse.load();
    gPeak.store(base);
    png.SaveTo(sink);
    newPeak = gPeak.load() - base;
    heapPeak = heapMax - heapBase;
  }
  state.counters["new_KiB"] = double(newPeak) / 1024;
  state.counters["heap_KiB"] = double(heapPeak) / 1024;
  state.counters["zlib_KiB"] = double(zlibStateBytes(level)) / 1024;
  state.counters["image_KiB"] = double(png.Header().Store.dataSize()) / 1024;
  state.counters["KB"] = double(written) / 1024;
}
BENCHMARK(BM_PeakMemory_TPNGObject)
    ->ArgName("level")
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_PeakMemory_Libpng(benchmark::State& state) {
  const int level = int(state.range(0));
  const RgbImage& image = rgbPhoto();
  LibpngAllocs allocs;
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    allocs = {};
    if (!encodeLibpng(image, level, PNG_ALL_FILTERS, false, out, &allocs)) {
      state.SkipWithError("libpng failed");
      return;
    }
  }
  state.counters["heap_KiB"] = double(allocs.peak) / 1024;
  state.counters["KB"] = double(out.size()) / 1024;
}
BENCHMARK(BM_PeakMemory_Libpng)
    ->ArgName("level")
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
