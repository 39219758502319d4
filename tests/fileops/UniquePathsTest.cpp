// Unique destination names: the clash test and the five resolution styles.

#include "fileops/UniquePaths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

std::vector<std::string> range(const std::string& prefix, int from, int to, const char* format) {
    std::vector<std::string> names;
    for (int n = from; n <= to; ++n) {
        char text[16];
        std::snprintf(text, sizeof text, format, n);
        names.push_back(prefix + text + ".JPG");
    }
    return names;
}

std::vector<std::string> letters(const std::string& prefix) {
    std::vector<std::string> names;
    for (char c = 'A'; c <= 'Z'; ++c)
        names.push_back(prefix + c + ".JPG");
    return names;
}

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(UniquePaths, ResolutionTable) {
    struct Case {
        const char* what;
        std::vector<std::string> present; // files in the folder
        int style;
        bool callerNamed;
        std::string name;
        std::vector<std::string> companions;
        std::string expected; // empty: fails, the name unchanged
        std::vector<std::string> claimed = {};
    };
    const std::vector<Case> cases = {
        {"letter", {"A.JPG"}, 0, true, "A.JPG", {}, "AA.JPG"},
        {"letters run out", plus({"A.JPG"}, letters("A")), 0, true, "A.JPG", {}, ""},
        {"digit", {"A.JPG"}, 1, true, "A.JPG", {}, "A1.JPG"},
        {"digit grows to two", plus({"A.JPG"}, range("A", 1, 9, "%d")), 1, true, "A.JPG", {}, "A10.JPG"},
        {"two digits", {"A.JPG", "A01.JPG"}, 3, true, "A.JPG", {}, "A02.JPG"},
        {"numbers run out", plus({"A.JPG"}, range("A", 1, 99, "%02d")), 3, true, "A.JPG", {}, ""},
        {"always two digits on a free name", {}, 4, false, "IMG_0001.JPG", {}, "IMG_000101.JPG"},
        {"always digit, its 1 taken", {"IMG1.JPG"}, 2, false, "IMG.JPG", {}, "IMG2.JPG"},
        {"always styles spare a caller's name", {}, 2, true, "IMG.JPG", {}, "IMG.JPG"},
        {"taken sidecar numbers the raw", {"DSC_1.XMP"}, 1, true, "DSC_1.NEF", {"XMP"}, "DSC_11.NEF"},
        {"lower-case sidecar counts too", {"DSC_1.xmp"}, 0, true, "DSC_1.NEF", {"XMP"}, "DSC_1A.NEF"},
        {"no extension", {"README"}, 0, true, "README", {}, "READMEA"},
        {"leading dot only", {".hidden"}, 1, true, ".hidden", {}, ".hidden1"},
        {"claimed by the same run", {}, 0, true, "A.JPG", {}, "AA.JPG", {"A.JPG"}},
        {"illegal characters", {}, 0, true, "a:b?.JPG", {}, "a-b-.JPG"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const std::string& file : c.present)
            writeWholeFile(dir.file(file), "x");
        std::vector<std::string> claimed;
        for (const std::string& file : c.claimed)
            claimed.push_back(dir.file(file));
        std::string name = c.name;
        const bool ok = MakeUniqueFileName(dir.path(), name, claimed, c.companions, c.callerNamed, c.style);
        EXPECT_EQ(ok, !c.expected.empty()) << c.what;
        EXPECT_EQ(name, c.expected.empty() ? c.name : c.expected) << c.what;
    }
    EXPECT_STREQ(RenameResolutionStyleText(4), "Always append digits (01, 02, 03)");
    EXPECT_STREQ(RenameResolutionStyleText(5), "");
}
