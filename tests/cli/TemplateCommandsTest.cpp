// `lumo template` and `lumo snapshot` on copies of corpus files, read back by exiftool.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kCorpusJpeg = std::string(LUMO_CORPUS_DIR) + "/exiftool/Nikon.jpg";

// A writable copy of the corpus JPEG with keywords a, b and caption X.
std::string photo(const LumoHome& home, const std::string& name) {
    const std::string path = home.dir.file(name);
    std::filesystem::copy_file(kCorpusJpeg, path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(home.lumo({"meta", "set", path, "--field", "Keywords=a, b", "--field", "Caption=X"}).exitCode,
              0);
    return path;
}

nlohmann::json tags(const std::string& path) {
    const auto json =
        lumo::test::exiftoolJson({"-XMP:Subject", "-IPTC:Keywords", "-IPTC:Caption-Abstract", "-XMP:City",
                                  "-XMP:Headline", "-XMP:Rating", "-IPTC:ObjectName", path});
    return json && !json->empty() ? (*json)[0] : nlohmann::json::object();
}

} // namespace

TEST(TemplateCommands, EditApplySaveLoadAndRefuse) {
    LumoHome home;
    EXPECT_NE(home.lumo({"template", "show"}).out.find("No metadata template is saved yet."),
              std::string::npos);
    EXPECT_EQ(home.lumo({"template", "apply", home.dir.file("x.jpg")}).exitCode, 2); // none saved

    ASSERT_EQ(
        home.lumo({"template", "edit", "--field", "Keywords=b, c", "--merge", "Keywords", "--field",
                   "Caption=Y", "--caption-style", "after", "--field", "Headline=", "--field", "Rating=4"})
            .exitCode,
        0);
    ASSERT_EQ(home.lumo({"template", "edit", "--field", "Title=Frame {seqn}"}).exitCode, 0);
    const std::string a = photo(home, "a.jpg"), b = photo(home, "b.jpg");
    // A photo that cannot be read takes no sequence number; the others go on.
    lumo::test::ProcessResult r =
        home.lumo({"--yes", "template", "apply", a, home.dir.file("missing.jpg"), b});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("1 of 3 of the selected photos cannot be captioned\n"), std::string::npos) << r.err;
    EXPECT_EQ(tags(a)["ObjectName"], "Frame 001");
    EXPECT_EQ(tags(b)["ObjectName"], "Frame 002");
    for (const std::string& path : {a, b}) {
        const nlohmann::json t = tags(path);
        EXPECT_EQ(t["Keywords"], (nlohmann::json{"a", "b", "c"})) << path;
        EXPECT_EQ(t["Subject"], (nlohmann::json{"a", "b", "c"})) << path;
        EXPECT_EQ(t["Caption-Abstract"], "X Y") << path;
        EXPECT_EQ(t["Rating"], 4) << path;
        EXPECT_FALSE(t.contains("Headline")) << path;
    }

    // A file keeps the template; loading it back makes it current again.
    const std::string saved = home.dir.file("Lumo_Metadata.XMP");
    ASSERT_EQ(home.lumo({"template", "save", saved}).exitCode, 0);
    const std::string shown = home.lumo({"--json", "template", "show"}).out;
    ASSERT_EQ(home.lumo({"template", "edit", "--clear", "--field", "City=Paris"}).exitCode, 0);
    ASSERT_EQ(home.lumo({"template", "load", saved}).exitCode, 0);
    EXPECT_EQ(nlohmann::json::parse(home.lumo({"--json", "template", "show"}).out)["fields"],
              nlohmann::json::parse(shown)["fields"]);

    // A field appending its own variable is refused before any photo is touched.
    ASSERT_EQ(home.lumo({"template", "edit", "--field", "Keywords={keywords}, d"}).exitCode, 0);
    const nlohmann::json before = tags(a);
    r = home.lumo({"template", "apply", a});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("The Keywords field contains its own variable and is set to append."),
              std::string::npos);
    EXPECT_EQ(tags(a), before);
}

TEST(TemplateCommands, SnapshotTakenAndPasted) {
    LumoHome home;
    const std::string source = photo(home, "source.jpg"), target = home.dir.file("target.jpg");
    std::filesystem::copy_file(kCorpusJpeg, target);
    std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    ASSERT_EQ(home.lumo({"snapshot", "take", source}).exitCode, 0);
    EXPECT_EQ(home.lumo({"snapshot", "list"}).out, "IPTC Snapshot 1\n");
    EXPECT_EQ(home.lumo({"snapshot", "paste", "no such", target}).exitCode, 2);
    ASSERT_EQ(home.lumo({"snapshot", "paste", "IPTC Snapshot 1", target}).exitCode, 0);
    const nlohmann::json t = tags(target);
    EXPECT_EQ(t["Keywords"], (nlohmann::json{"a", "b"}));
    EXPECT_EQ(t["Caption-Abstract"], "X");
}

TEST(TemplateCommands, ReverseGeocodingQuestionAnsweredByNoInput) {
    LumoHome home;
    // A template file asking for the city from reverse geocoding; no geocoder is available.
    const std::string file = home.dir.file("Geo.XMP");
    lumo::test::writeWholeFile(
        file, "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
              "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
              "xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\" "
              "xmlns:lumograph=\"http://ns.kestrellabs.com/lumograph/1.0/\"><photoshop:Headline>Geo</"
              "photoshop:Headline><lumograph:ApplyReverseGeocoding><rdf:Bag><rdf:li>0x0</rdf:li></rdf:Bag></"
              "lumograph:ApplyReverseGeocoding></rdf:Description></rdf:RDF></x:xmpmeta>");
    ASSERT_EQ(home.lumo({"template", "load", file}).exitCode, 0);
    const std::string a = photo(home, "a.jpg"), b = photo(home, "b.jpg");
    const lumo::test::ProcessResult r = home.lumo({"--no-input", "template", "apply", a, b});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Asked once, answered for the user: the template goes on without reverse geocoding.
    const std::string question = "requests Reverse Geocoding but it\nhas failed.  Continue without Reverse "
                                 "Geocoding? [Y]es / (n)o yes (--no-input)";
    EXPECT_NE(r.err.find(question), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(question, r.err.find(question) + 1), std::string::npos) << r.err;
    EXPECT_EQ(tags(a)["Headline"], "Geo");
    EXPECT_EQ(tags(b)["Headline"], "Geo");
}
