#include "DesktopTestSupport.h"
#include "LumoDoc.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace lumo::test;

// The desktop's services start, and a folder of photos opens as a document.
TEST(DesktopSmokeTest, AFolderOpensAsADocument) {
    TempDir dir;
    for (int i = 0; i < 3; ++i)
        writeCameraJpeg(dir.file("IMG_" + std::to_string(i) + ".JPG"));
    CLumoDoc doc;
    ASSERT_TRUE(doc.openFolders({dir.path()}));
    EXPECT_EQ(doc.common().ItemCount(), 3u);
}
