#pragma once

// What the desktop's tests share: the services of the desktop started once for the test binary
// (under the test run's folders, with the offscreen platform), camera-like photos built exactly, and
// waiting for the event loop.

#include <functional>
#include <string>

namespace lumo::test {

// A JPEG as a camera writes it: EXIF with the camera, the capture time and the orientation.
struct CameraPhoto {
    int width = 640, height = 480;
    int orientation = 1;                       // EXIF Orientation, 0 for none
    std::string taken = "2024:05:01 10:00:00"; // DateTimeOriginal, "" for none
    std::string make = "Lumo", model = "Cam 1";
};
std::string cameraJpeg(const CameraPhoto& photo = {});
void writeCameraJpeg(const std::string& path, const CameraPhoto& photo = {});

// Runs the event loop until `done` answers true or `timeoutMs` passes; answers `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Where a test writes its screenshots for review (not compared): $LUMO_SCREENSHOT_DIR, else the
// build's "screenshots" folder.
std::string screenshotPath(const std::string& name);

} // namespace lumo::test
