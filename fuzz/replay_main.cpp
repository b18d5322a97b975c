// Replays a fuzz target's corpus without libFuzzer: runs
// LLVMFuzzerTestOneInput once over every file named on the command line, or
// over every file in every directory named there, in name order. Built by
// ordinary (gcc) builds so that every build and every test run replays the
// committed corpora. Each input is read into a heap buffer of exactly its
// size, as libFuzzer hands it over, so sanitized builds catch over-reads.
//
// Exit status: 0 when every input ran, 1 when no input was found or one
// could not be read. A failed check aborts, after the input's name is printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool RunFile(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = static_cast<size_t>(std::filesystem::file_size(path, ec));
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
  auto exact = std::make_unique<uint8_t[]>(size);
  if (ec || !in || std::fread(exact.get(), 1, size, in.get()) != size) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), size);
  std::fflush(stderr);
  LLVMFuzzerTestOneInput(exact.get(), size);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.push_back(arg);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs found\n");
    return 1;
  }
  for (const auto& f : files)
    if (!RunFile(f)) return 1;
  std::fprintf(stderr, "replay: %zu inputs ran clean\n", files.size());
  return 0;
}
