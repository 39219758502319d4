#include "support/PathDigest.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using lumo::pathDigest;

TEST(PathDigest, IsTheMd5OfThePathBytesInLowerCaseHex) {
    EXPECT_EQ(pathDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(pathDigest("/Users/photographer/Pictures/2026/IMG_0001.CR3"),
              "4c03c2f9004683355190713ea33e0eef");
    // The bytes of the UTF-8 path are digested as they are, with no normalisation.
    EXPECT_EQ(pathDigest("/photos/Z\xC3\xBCrich/Caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC.jpg"),
              "45004cacdeb4597a7eb04a1afebd96c5");

    const std::regex shape("^[0-9a-f]{32}$");
    for (const std::string& path :
         std::vector<std::string>{"/", "/a", "/Pictures/DSC_0001.NEF", std::string(5000, 'x')})
        EXPECT_TRUE(std::regex_match(pathDigest(path), shape)) << path.substr(0, 40);
    EXPECT_NE(pathDigest("/Pictures/a.jpg"), pathDigest("/Pictures/A.jpg"));
}
