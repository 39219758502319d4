#include "DesktopTestSupport.h"

#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdlib>
#include <filesystem>

namespace lumo::test {

std::string cameraJpeg(const CameraPhoto& photo) {
    JpegBuilder jpeg(photo.width, photo.height);
    TiffBuilder tiff;
    TiffIfd& ifd0 = tiff.ifd();
    ifd0.add(0x010F, photo.make).add(0x0110, photo.model);
    if (photo.orientation != 0)
        ifd0.addShort(0x0112, static_cast<uint16_t>(photo.orientation));
    if (!photo.taken.empty())
        ifd0.subIfd(0x8769).add(0x9003, photo.taken);
    jpeg.addExif(tiff.build());
    return jpeg.build();
}

void writeCameraJpeg(const std::string& path, const CameraPhoto& photo) {
    writeWholeFile(path, cameraJpeg(photo));
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

std::string screenshotPath(const std::string& name) {
    const char* dir = std::getenv("LUMO_SCREENSHOT_DIR");
    const std::string folder = dir && *dir ? dir : LUMO_SCREENSHOT_DEFAULT_DIR;
    std::filesystem::create_directories(folder);
    return folder + "/" + name;
}

} // namespace lumo::test
