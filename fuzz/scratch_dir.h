// The scratch directory of one fuzzing process, in memory: /dev/shm/varnex_fuzz_<pid>.
// libFuzzer ends a process without running its exit handlers, so no run can remove its
// own directory; instead each new one removes those of processes that are gone.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace fuzz {

// Removes a directory tree, depth first, following no links; what cannot go stays.
inline void RemoveTree(const std::string& dir) {
    nftw(dir.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return remove(path), 0; }, 16,
         FTW_DEPTH | FTW_PHYS);
}

inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        if (DIR* shm = opendir("/dev/shm")) {
            while (const dirent* e = readdir(shm)) {
                int pid = 0;
                if (sscanf(e->d_name, "varnex_fuzz_%d", &pid) == 1 && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
                    RemoveTree(std::string("/dev/shm/") + e->d_name);
            }
            closedir(shm);
        }
        const std::string made = "/dev/shm/varnex_fuzz_" + std::to_string(getpid());
        RemoveTree(made);   // left by an earlier process with this number
        if (mkdir(made.c_str(), 0700) != 0) abort();
        return made;
    }();
    return dir;
}

}  // namespace fuzz
