// Runs a fuzz target over every file below the folders or files given, so that the seeds and
// every crash ever found run as an ordinary test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runOne(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path root(argv[i]);
    if (fs::is_regular_file(root)) {
      runOne(root);
      ++count;
    } else if (fs::is_directory(root)) {
      for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) {
          runOne(e.path());
          ++count;
        }
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
