#include "background/ImageCachePauser.h"

#include <atomic>

namespace {

std::atomic<ImageCachePauser*> g_pauser{nullptr};

} // namespace

void setImageCachePauser(ImageCachePauser* pauser) {
    g_pauser = pauser;
}

ImageCachePauser* imageCachePauser() {
    return g_pauser.load();
}
