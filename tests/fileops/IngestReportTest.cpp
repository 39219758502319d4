// The ingest report: one line per photo, written at once, its texts kept on their line.

#include "fileops/IngestReport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;

TEST(IngestReportTest, LinesAreWrittenAsTheIngestGoes) {
    TempDir logs;
    IngestReport report;
    ASSERT_TRUE(report.open(logs.path())) << report.error();
    IngestReport::Line line{
        "/card/DCIM/100/IMG\t1.JPG", {"/a/IMG_1.JPG", "/b/IMG_1.JPG"}, 1234, "00ff", "verified"};
    ASSERT_TRUE(report.add(line));
    // On disk before the report is closed.
    EXPECT_EQ(readWholeFile(report.path()),
              "source\tdestinations\tsize\tdigest\tresult\n"
              "/card/DCIM/100/IMG\\t1.JPG\t/a/IMG_1.JPG | /b/IMG_1.JPG\t1234\t00ff\t"
              "verified\n");
    ASSERT_TRUE(report.add({"/card/x.NEF", {}, 0, "", "The copy failed:\nno space"}));
    EXPECT_NE(readWholeFile(report.path()).find("\t0\t\tThe copy failed:\\nno space\n"), std::string::npos);

    // A second report in the same second gets its own name; a folder that is not there is an error.
    IngestReport second;
    ASSERT_TRUE(second.open(logs.path()));
    EXPECT_NE(second.path(), report.path());
    EXPECT_EQ(namesIn(logs.path()).size(), 2u);
    EXPECT_EQ(report.path().rfind(logs.path() + "/ingest-report-", 0), 0u);
    IngestReport missing;
    EXPECT_FALSE(missing.open(logs.path() + "/none"));
    EXPECT_NE(missing.error().find("No such file"), std::string::npos);
    EXPECT_FALSE(missing.add(line));
}
