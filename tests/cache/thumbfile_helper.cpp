// Stores disk cache entries in a loop until it is killed: `thumbfile_helper FOLDER BYTES`. Each entry is
// a JPEG-shaped block of BYTES bytes, so that a kill is likely to land in the middle of a write.

#include "cache/ThumbfileCache.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    std::string error;
    if (!CThumbfileCache::OpenThumbfileCache(argv[1], error))
        return 1;
    CThumbfileCache* cache = CThumbfileCache::GetThumbfileCache();
    std::string jpeg(std::strtoul(argv[2], nullptr, 10), 'x');
    jpeg[0] = '\xFF', jpeg[1] = '\xD8', jpeg[jpeg.size() - 2] = '\xFF', jpeg.back() = '\xD9';
    for (unsigned i = 0; i < 1000000; ++i) {
        const std::string path = "/photos/IMG_" + std::to_string(i) + ".JPG";
        const std::string base = CThumbfileCache::MakeKey(CThumbfileCache::Kind::Preview, path, i, i);
        cache->StoreBytes(CThumbfileCache::VariantKey(base, {0, true, 1024}), jpeg);
    }
    return 0;
}
