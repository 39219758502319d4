// Stores disk cache entries in a loop until it is killed: `thumbfile_helper FOLDER BYTES`. Each entry is
// a JPEG-shaped block of BYTES bytes, so that a kill is likely to land in the middle of a write. It
// never outlives the test that started it (it dies with its parent) and stops by itself after 64 MiB
// of entries, so that a test that goes wrong cannot fill the disk.

#include "cache/ThumbfileCache.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
        return 3; // the parent went before the signal was armed
    const std::size_t bytes = std::strtoul(argv[2], nullptr, 10);
    if (bytes < 4 || bytes > (16u << 20))
        return 2;
    std::string error;
    if (!CThumbfileCache::OpenThumbfileCache(argv[1], error))
        return 1;
    CThumbfileCache* cache = CThumbfileCache::GetThumbfileCache();
    std::string jpeg(bytes, 'x');
    jpeg[0] = '\xFF', jpeg[1] = '\xD8', jpeg[jpeg.size() - 2] = '\xFF', jpeg.back() = '\xD9';
    const std::size_t entries = (64u << 20) / bytes;
    for (unsigned i = 0; i < entries && ::getppid() == parent; ++i) {
        const std::string path = "/photos/IMG_" + std::to_string(i) + ".JPG";
        const std::string base = CThumbfileCache::MakeKey(CThumbfileCache::Kind::Preview, path, i, i);
        cache->StoreBytes(CThumbfileCache::VariantKey(base, {0, true, 1024}), jpeg);
    }
    return 0;
}
