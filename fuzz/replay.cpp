// Replay driver: runs a fuzz target's LLVMFuzzerTestOneInput once on every
// file named on the command line, or found (sorted by name) in a directory
// named there. It stands in for libFuzzer where that is not linked (gcc
// builds, builds without VALMORA_FUZZ), so that the corpora run as ordinary
// tests in every build. Options that start with '-' are libFuzzer's and are
// ignored, so a libFuzzer command line replays unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Optional in a target (libFuzzer calls it once, before the first input).
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

namespace fs = std::filesystem;

bool readWhole(const fs::path &path, std::vector<char> &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Every regular file under a directory, or the file itself, in name order.
bool collect(const fs::path &path, std::vector<fs::path> &inputs)
{
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> found;
        for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec)) found.push_back(it->path());
        if (ec) return false;
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
        return true;
    }
    if (!fs::is_regular_file(path, ec)) return false;
    inputs.push_back(path);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    int named = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        ++named;
        if (!collect(argv[i], inputs)) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (named == 0) {
        fprintf(stderr, "usage: %s corpus-directory-or-file ...\n", argv[0]);
        return 2;
    }

    for (const fs::path &path : inputs) {
        std::vector<char> octets;
        if (!readWhole(path, octets)) {
            fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 2;
        }
        // A heap block of exactly the input's size, as libFuzzer passes it,
        // so that a read past the end shows under the address sanitizer.
        const size_t size = octets.size();
        std::unique_ptr<uint8_t[]> data(new uint8_t[size ? size : 1]);
        if (size) memcpy(data.get(), octets.data(), size);
        fprintf(stderr, "Running: %s (%zu octets)\n", path.c_str(), size);
        LLVMFuzzerTestOneInput(data.get(), size);
    }
    fprintf(stderr, "Executed %zu inputs\n", inputs.size());
    return 0;
}
