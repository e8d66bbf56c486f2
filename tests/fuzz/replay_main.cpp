// Runs a fuzz target's entry point over every file of its seed corpus, so the
// checks inside the targets run in the ordinary build and under the sanitizer
// builds of CI, not only while fuzzing. A failed check aborts with its message.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::printf("%s\n", entry.path().filename().c_str());
      std::fflush(stdout);
      // A copy of exactly the file's size, as libFuzzer hands it over.
      std::vector<uint8_t> input(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
      ++count;
    }
  }
  std::printf("%zu inputs passed\n", count);
  return count > 0 ? 0 : 1;
}
