// Compression benchmark: compresses every file of a directory with each method and
// level and prints one row per setting: method, level, total packed bytes and the
// median CPU time of the repeats (the machine is shared; wall time would mostly
// measure the neighbours). Run through bench/compress.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lzh/encoder.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DATA_DIR [METHODS] [LEVELS] [REPEATS]\n", argv[0]);
        return 2;
    }
    std::string methods = argc > 2 ? argv[2] : "567";
    std::string levels = argc > 3 ? argv[3] : "123456789";
    int repeats = argc > 4 ? atoi(argv[4]) : 1;

    std::vector<std::filesystem::path> paths;
    for (auto& e : std::filesystem::directory_iterator(argv[1]))
        if (e.is_regular_file()) paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    std::vector<lzh::Bytes> files;
    size_t total = 0;
    for (auto& p : paths) {
        files.emplace_back();
        if (!lzh::ReadFile(p.string(), files.back())) {
            fprintf(stderr, "cannot read %s\n", p.c_str());
            return 1;
        }
        total += files.back().size();
    }
    printf("# %zu files, %zu bytes\n", files.size(), total);
    for (char m : methods) {
        for (char l : levels) {
            std::vector<double> times;
            size_t packed = 0;
            for (int r = 0; r < std::max(repeats, 1); ++r) {
                packed = 0;
                std::clock_t t0 = std::clock();
                for (auto& f : files) packed += lzh::Compress(f.data(), f.size(), m, l - '0').size();
                std::clock_t t1 = std::clock();
                times.push_back(double(t1 - t0) / CLOCKS_PER_SEC);
            }
            std::sort(times.begin(), times.end());
            printf("lh%c %c %zu %.3f\n", m, l, packed, times[times.size() / 2]);
            fflush(stdout);
        }
    }
    return 0;
}
