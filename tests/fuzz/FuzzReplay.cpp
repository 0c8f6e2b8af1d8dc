// Runs a fuzz target's entry point once over every file of the given seed folders, so that the seeds stay
// valid inputs under every compiler. A broken invariant aborts with the file named on the line before.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(argv[i], error)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        if (error) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no seed files given\n");
        return 2;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path &file : files) {
        std::fprintf(stderr, "%s\n", file.c_str());
        std::ifstream stream(file, std::ios::binary);
        const std::vector<char> content{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        // An empty vector's data() may be null; the entry point gets a valid pointer either way.
        static const uint8_t empty = 0;
        LLVMFuzzerTestOneInput(content.empty() ? &empty : reinterpret_cast<const uint8_t *>(content.data()),
                               content.size());
    }
    std::printf("%zu seeds replayed\n", files.size());
    return 0;
}
