// Runs a fuzz target over every file of the corpus folders it is given, so
// that ctest replays the seed corpus with any compiler. A folder that is
// missing or holds no file is a failure: a replay of nothing tests nothing.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!fs::is_directory(argv[i], error)) {
            std::fprintf(stderr, "%s: no corpus folder %s\n", argv[0], argv[i]);
            return 1;
        }
        int here = 0;
        for (const auto &entry : fs::directory_iterator(argv[i], error)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                   bytes.size());
            ++here;
        }
        if (here == 0) {
            std::fprintf(stderr, "%s: the corpus folder %s holds no input\n", argv[0], argv[i]);
            return 1;
        }
        count += here;
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
