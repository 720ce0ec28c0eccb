// Runs a fuzz target without libFuzzer: every file named on the command line,
// and every file in every directory named there, is fed to the target once, in
// name order. Used to replay the seed corpora (and saved crash inputs) with
// any compiler.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool runFile(const std::filesystem::path &path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "Cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> data((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    return true;
}

}

int main(int argc, char **argv)
{
    int count = 0;
    for (int i = 1; i < argc; i++) {
        const std::filesystem::path argument(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argument)) {
            for (const auto &entry : std::filesystem::directory_iterator(argument)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argument);
        }
        for (const auto &file : files) {
            if (!runFile(file))
                return 1;
            count++;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "No inputs given\n");
        return 1;
    }
    std::printf("Replayed %d inputs\n", count);
    return 0;
}
