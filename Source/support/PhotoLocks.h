#pragma once

// Another process changing the same photo at the same time would read it before this one's new version
// takes its place and then put its own version over it, and one of the two changes would be lost. So a
// photo is locked (an advisory lock on its file) from before it is read until its new version is in
// place. A photo that another process holds is waited for only after `beforeWaiting` has run (the
// caller commits its pending writes there and lets its own locks go), so that two processes never wait
// for each other. A file that cannot be opened or locked is left to fail (or succeed) as it would
// unlocked.

#include <functional>
#include <string>
#include <vector>

namespace lumo {

class PhotoLocks {
public:
    PhotoLocks() = default;
    PhotoLocks(const PhotoLocks&) = delete;
    PhotoLocks& operator=(const PhotoLocks&) = delete;
    ~PhotoLocks() { unlockAll(); }

    void lock(const std::string& path, const std::function<void()>& beforeWaiting);
    void unlockAll();

private:
    std::vector<int> m_fds; // the photos held
};

} // namespace lumo
