#pragma once

// What background operations need of the image cache: to hold its workers off while they run. Pauses
// nest; only the first waits (when asked to) for running cache work to finish, only the last resume
// lets the workers go again.
class ImageCachePauser {
public:
    virtual ~ImageCachePauser() = default;
    virtual void pause(bool waitForWorkers) = 0;
    virtual void resume() = 0;
};

// The process's image cache, or null while there is none. The cache sets itself when it is created
// and clears itself before it goes; the object must outlive every operation that paused it.
void setImageCachePauser(ImageCachePauser* pauser);
ImageCachePauser* imageCachePauser();
