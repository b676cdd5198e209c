// Runs the fuzz target once over each input named, or each file in each folder
// named (dot-files and *.md left out), without libFuzzer: the replay in every
// native build, 32-bit too. The target aborts on a fault.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool IsFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name[0] == '.' || (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0))
        continue;
      files.push_back(folder + "/" + name);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    if (IsFolder(argv[i])) {
      const std::vector<std::string> files = FilesIn(argv[i]);
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "vcdiff_fuzz_replay: cannot read %s\n", path.c_str());
      return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("vcdiff_fuzz_replay: %zu inputs decoded, none failed\n", inputs.size());
  return 0;
}
