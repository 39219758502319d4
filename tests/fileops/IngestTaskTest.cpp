// What an ingest is asked to do: folder names made from templates, the destination folder of a photo
// for each layout and source-structure mode, and the refusals before an ingest starts.

#include "fileops/IngestTask.h"

#include "metadata/IPTCRec.h"
#include "metadata/MetadataTemplate.h"
#include "support/TestSupport.h"
#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <filesystem>

using lumo::test::TempDir;

TEST(IngestSpecTest, FolderNameCleanUp) {
    const struct {
        const char* expanded;
        const char* clean;
    } cases[] = {
        {"Shoot", "Shoot"},
        {"a\\b", "a/b"},                          // a typed backslash separates folders
        {"a \\ b / c", "a/b/c"},                  // white space around a separator goes
        {"a\\\\//b", "a/b"},                      // a run of separators is one
        {"x:y*z?\"<>|", "x-y-z-----"},            // characters a file system refuses
        {"tab\there\r\n", "tab-here--"},          // and control characters
        {"/../a/./b/", "a/b"},                    // nothing climbs out of the destination
        {"  lead and trail  ", "lead and trail"}, // trimmed at the ends too
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CleanIngestFolderName(c.expanded), c.clean) << c.expanded;
}

TEST(IngestSpecTest, DestinationFolderByLayoutAndStructure) {
    const struct {
        int layout;
        int mode;
        const char* suffix;
        const char* expected;
    } cases[] = {
        {kIngestDirect, kIngestIgnoreSourceDirs, "", "/d"},
        {kIngestDatedFolder, kIngestIgnoreSourceDirs, "", "/d/Job 7"}, // the template names the dated folder
        {kIngestNamedFolder, kIngestIgnoreSourceDirs, "", "/d/Job 7"},
        {kIngestNamedFolder, kIngestIgnoreSourceDirs, "-2", "/d/Job 7-2"},
        {kIngestDatedNamedFolder, kIngestIgnoreSourceDirs, "", "/d/Job 7"}, // no capture date: no dated part
        {kIngestDirect, kIngestKeepSourceDirNames, "", "/d/100CANON"},
        {kIngestDirect, kIngestPreserveSourceDirs, "", "/d/DCIM/100CANON"},
        {kIngestNamedFolder, kIngestPreserveSourceDirs, "-1", "/d/Job 7-1/DCIM/100CANON"},
    };
    VariableContext context;
    context.ingestSequence = 7;
    for (const auto& c : cases) {
        IngestTaskSpec spec;
        spec.m_copyPhotos = c.layout;
        spec.m_sourceDirStructure = c.mode;
        spec.m_destFolderNameString = "Job {iseq}";
        IngestFolderRule rule = IngestFolderRule::FromSpec(spec, "/d");
        rule.m_autoIncSuffix = c.suffix;
        EXPECT_EQ(IngestDestinationFolder(rule, context, "DCIM/100CANON"), c.expected)
            << c.layout << " " << c.mode;
    }
}

TEST(IngestSpecTest, AutoIncrementSuffixSkipsTakenFolders) {
    TempDir root;
    std::filesystem::create_directories(root.file("Shoot-1"));
    IngestTaskSpec spec;
    spec.m_copyPhotos = kIngestNamedFolder;
    spec.m_destFolderNameString = "Shoot";
    const IngestFolderRule rule = IngestFolderRule::FromSpec(spec, root.path());
    EXPECT_EQ(NextAutoIncSuffix(rule, VariableContext{}, {}), "-2");
    EXPECT_EQ(NextAutoIncSuffix(rule, VariableContext{}, {"-2"}), "-3");
}

TEST(IngestSpecTest, ValidationRefusesInOrder) {
    TempDir dir;
    // A template file that applies nothing.
    IPTCRec empty;
    ASSERT_EQ(IPTCSaveStationeryFile(empty, dir.file("empty.XMP")), 0);
    const auto base = [&] {
        IngestTaskSpec spec;
        spec.m_sourcePaths = {dir.file("card")};
        spec.m_primaryDestPath = dir.file("p");
        return spec;
    };
    const struct {
        const char* what;
        std::function<void(IngestTaskSpec&)> change;
        std::string expected;
    } cases[] = {
        {"fine", [](IngestTaskSpec&) {}, ""},
        {"no folders", [](IngestTaskSpec& s) { s.m_sourcePaths.clear(); }, IngestText::kNoSourceFolders},
        {"no disks",
         [](IngestTaskSpec& s) {
             s.m_sourcePaths.clear();
             s.m_fromDisks = true;
         },
         IngestText::kNoSourceDisks},
        {"no primary", [](IngestTaskSpec& s) { s.m_primaryDestPath.clear(); }, IngestText::kNoPrimary},
        {"secondary empty", [](IngestTaskSpec& s) { s.m_secondaryEnabled = true; }, IngestText::kNoSecondary},
        {"same folders",
         [&](IngestTaskSpec& s) {
             s.m_secondaryEnabled = true;
             s.m_secondaryDestPath = dir.file("p") + "/./";
         },
         IngestText::kSameDestinations},
        {"two folders unmerged", [&](IngestTaskSpec& s) { s.m_sourcePaths.push_back(dir.file("b")); },
         "When ingesting more than one folder, you must either choose to merge the folders into the same "
         "destination, or choose to copy into folder with name and auto increment the destination folder "
         "suffix."},
        {"two disks unmerged",
         [&](IngestTaskSpec& s) {
             s.m_sourcePaths.push_back(dir.file("b"));
             s.m_fromDisks = true;
         },
         "When ingesting more than one disk, you must either choose to merge the disks into the same "
         "destination, or choose to copy into folder with name and auto increment the destination folder "
         "suffix."},
        {"two merged",
         [&](IngestTaskSpec& s) {
             s.m_sourcePaths.push_back(dir.file("b"));
             s.m_mergeSources = true;
         },
         ""},
        {"two auto-incremented",
         [&](IngestTaskSpec& s) {
             s.m_sourcePaths.push_back(dir.file("b"));
             s.m_copyPhotos = kIngestDatedNamedFolder;
             s.m_autoIncSuffix = true;
         },
         ""},
        {"template missing",
         [&](IngestTaskSpec& s) {
             s.m_applyStationery = true;
             s.m_useLocalStationery = true;
             s.m_stationeryData = dir.file("none.XMP");
         },
         IngestText::kTemplateNotLoadable},
        {"template applies nothing",
         [&](IngestTaskSpec& s) {
             s.m_applyStationery = true;
             s.m_useLocalStationery = true;
             s.m_stationeryData = dir.file("empty.XMP");
         },
         IngestText::kTemplateNothingTicked},
        {"same name", [](IngestTaskSpec& s) { s.m_rename = true, s.m_renameString = "Holiday"; },
         IngestText::kRenameSameName},
        {"named by variable", [](IngestTaskSpec& s) { s.m_rename = true, s.m_renameString = "H_{seqn}"; },
         ""},
    };
    for (const auto& c : cases) {
        IngestTaskSpec spec = base();
        c.change(spec);
        EXPECT_EQ(IngestValidator::Validate(spec), c.expected) << c.what;
    }
}
