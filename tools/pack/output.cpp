// The output written through a temporary beside it and a rename, over the system calls
// of the host's seam, so that an error or an interrupt never leaves a half-written file.
#include <errno.h>
#include <string.h>

#include "pack.h"

namespace pack {

void WriteAtomically(const std::string& path, const lzh::Bytes& data,
                     const std::function<void(const std::string&)>& verify) {
    const size_t slash = path.find_last_of(kHostSeparators);
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    HostFileInfo st;
    if (HostStat(path, st) && st.directory) throw Error(path + " is a directory");

    // A dot first: the temporary is hidden where names starting with one are.
    HostTemp temp;
    if (!HostCreateTemp(path.substr(0, slash + 1) + "." + base + ".", temp)) {
        if (temp.tooLong) throw Error(path + ": the path is too long");
        throw Error(path + ": cannot create a file in " + dir + ": " + strerror(errno));
    }
    auto fail = [&](const std::string& what) {
        const int err = errno;
        HostRemoveTemp(temp);
        throw Error(path + ": " + what + strerror(err));
    };
    if (const char* failed = HostFillTemp(temp, data.data(), data.size())) fail(failed);
    if (verify) {
        try {
            verify(HostTempReadPath(temp));
        } catch (...) {
            HostRemoveTemp(temp);
            throw;
        }
    }
    if (const char* failed = HostCommitTemp(temp, path)) fail(failed);
}

}  // namespace pack
