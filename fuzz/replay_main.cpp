// Replays a fuzz target's inputs as a test: each file of the folders named
// on the command line goes once through LLVMFuzzerTestOneInput, in name
// order. A broken property aborts and a sanitizer reports as in any test.
// A missing folder or no input at all fails too, so that a renamed folder
// cannot pass unnoticed.
#include "fuzz/fuzz_target.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The regular files of folder, sorted; false when it cannot be read.
bool ListInputs(const fs::path &folder, std::vector<fs::path> &files)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return !error;
}

std::vector<uint8_t> ReadInput(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (!ListInputs(argv[i], files)) {
            std::fprintf(stderr, "Cannot read the input folder %s\n", argv[i]);
            return 1;
        }
        for (const fs::path &file : files) {
            std::printf("%s\n", file.c_str());
            std::fflush(stdout); // names the input if it crashes
            std::vector<uint8_t> input = ReadInput(file);
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++replayed;
        }
    }
    std::printf("Replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
