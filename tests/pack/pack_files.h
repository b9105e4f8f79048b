// What the varnex-pack tests share: whole-file reads and writes, and a stand-in stub (the
// MS-DOS header, the empty block at 512, a PE signature at 1232) that nothing runs.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace packtest {

inline std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::filesystem::path& p, const std::string& data) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

inline std::string StandInStub() {
    std::string stub(1300, '\0');
    stub[0] = 'M', stub[1] = 'Z';
    stub[60] = (char)0xD0, stub[61] = 0x04;
    stub.replace(1232, 4, std::string("PE\0\0", 4));
    return stub;
}

}  // namespace packtest
