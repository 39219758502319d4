#include "ItemOperations.h"
#include "DesktopTestSupport.h"
#include "LumoDoc.h"
#include "support/TestSupport.h"

#include "app/MessageBox.h"

#include <QKeyEvent>

#include <filesystem>

#include <gtest/gtest.h>

using namespace lumo::test;

// Every culling key as the change it makes, and the keys that make none.
TEST(ItemOperationsTest, CullingKeysMapToTheirChanges) {
    using Op = BatchChange::Operation;
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
        bool autoRepeat;
        quint32 nativeKey;
        std::optional<std::pair<Op, int>> expected;
    };
    const Qt::KeyboardModifiers none;
    std::vector<Case> cases = {
        {Qt::Key_T, none, false, 0, {{Op::ToggleTag, 0}}},
        {Qt::Key_T, Qt::ShiftModifier, false, 0, {{Op::ToggleTag, 0}}},
        {Qt::Key_T, none, true, 0, std::nullopt},
        {Qt::Key_T, Qt::ControlModifier, false, 0, std::nullopt},
        {Qt::Key_6, none, false, 0, {{Op::SetColorClass, 1}}},
        {Qt::Key_9, none, false, 0, {{Op::SetColorClass, 4}}},
        {Qt::Key_9, Qt::KeypadModifier, false, 0, {{Op::SetColorClass, 4}}},
        {Qt::Key_0, Qt::AltModifier, false, 0, {{Op::SetColorClass, 0}}},
        {Qt::Key_8, Qt::AltModifier | Qt::KeypadModifier, false, 0, {{Op::SetColorClass, 8}}},
        {Qt::Key_9, Qt::AltModifier, false, 0, std::nullopt},
        {Qt::Key_3, Qt::ControlModifier, false, 0, std::nullopt},
        {Qt::Key_BracketRight, Qt::ControlModifier, false, 0, {{Op::RotateClockwise, 0}}},
        {Qt::Key_BracketLeft, Qt::ControlModifier, false, 0, {{Op::RotateCounterClockwise, 0}}},
        // A layout that reports another key for Ctrl+[ still gives the bracket's key symbol.
        {Qt::Key_Escape, Qt::ControlModifier, false, 0x5b, {{Op::RotateCounterClockwise, 0}}},
        {Qt::Key_BracketRight, Qt::ControlModifier, true, 0, std::nullopt},
        {Qt::Key_BracketRight, none, false, 0, std::nullopt},
        {Qt::Key_A, none, false, 0, std::nullopt},
    };
    for (int digit = 0; digit <= 5; ++digit)
        cases.push_back({Qt::Key_0 + digit, none, false, 0, {{Op::SetRating, digit}}});
    for (int digit = 1; digit <= 8; ++digit)
        cases.push_back({Qt::Key_0 + digit, Qt::AltModifier, false, 0, {{Op::SetColorClass, digit}}});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "key 0x" << std::hex << c.key << " mods 0x" << c.mods.toInt()
                                        << " repeat " << c.autoRepeat);
        const QKeyEvent event(QEvent::KeyPress, c.key, c.mods, 0, c.nativeKey, 0, QString(), c.autoRepeat);
        const std::optional<BatchChange> change = cullingChangeForKey(event);
        ASSERT_EQ(change.has_value(), c.expected.has_value());
        if (change) {
            EXPECT_EQ(change->operation, c.expected->first);
            EXPECT_EQ(change->value, c.expected->second);
        }
    }
}

namespace {

// A folder of camera photos opened as a document: JPEGs built here, and raw files from the corpus
// (`raws`: the corpus's name, then the name in the folder) each with an XMP sidecar.
struct PhotoFolder {
    TempDir dir;
    CLumoDoc doc;
    explicit PhotoFolder(const std::vector<std::string>& jpegs,
                         const std::vector<std::pair<std::string, std::string>>& raws = {}) {
        for (const std::string& name : jpegs)
            writeCameraJpeg(dir.file(name));
        for (const auto& [corpusName, name] : raws) {
            writeWholeFile(dir.file(name), readWholeFile(corpusFolder() + "/exiftool/" + corpusName));
            writeWholeFile(dir.file(name.substr(0, name.rfind('.')) + ".XMP"), kSidecar);
        }
        EXPECT_TRUE(doc.openFolders({dir.path()}));
    }
    static constexpr const char* kSidecar = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>\n";
    std::vector<DocumentItem::Ref> items() const {
        std::vector<DocumentItem::Ref> all;
        for (std::uint32_t i = 0; i < doc.common().ItemCount(); ++i)
            all.push_back(doc.common().GetDocumentItemAt(i));
        return all;
    }
};

// Answers every question with `answer` and counts them; no handler afterwards.
struct AnsweringMessageBox {
    int asked = 0;
    std::string lastText;
    explicit AnsweringMessageBox(MessageBoxAnswer answer) {
        setMessageBoxHandler([this, answer](std::string_view text, MessageBoxButtons) {
            ++asked;
            lastText = text;
            return answer;
        });
    }
    ~AnsweringMessageBox() { setMessageBoxHandler(nullptr); }
};

} // namespace

// A change made through the background operation lands in every photo's file; a photo that fails
// is reported in one message.
TEST(ItemOperationsTest, ItemChangesLandInTheFiles) {
    PhotoFolder folder({"A.JPG", "B.JPG"});
    const std::vector<DocumentItem::Ref> items = folder.items();
    ASSERT_EQ(items.size(), 2u);
    BatchChange rate;
    rate.operation = BatchChange::SetRating;
    rate.value = 3;
    EXPECT_TRUE(runItemChange(nullptr, items, rate));
    BatchChange tag;
    tag.operation = BatchChange::ToggleTag;
    EXPECT_TRUE(runItemChange(nullptr, items, tag));
    for (const DocumentItem::Ref& item : items) {
        EXPECT_EQ(item->Rating(), 3);
        EXPECT_TRUE(item->Tag());
    }
    const auto json = exiftoolJson({"-XMP:Rating", folder.dir.file("A.JPG"), folder.dir.file("B.JPG")});
    if (!json)
        GTEST_SKIP() << "exiftool is not installed";
    for (const auto& file : *json)
        EXPECT_EQ(file.value("Rating", 0), 3) << file.dump();

    // A photo that fails is reported in one message, and the others still change.
    std::filesystem::remove(folder.dir.file("B.JPG"));
    rate.value = 5;
    AnsweringMessageBox box(MessageBoxAnswer::Ok);
    EXPECT_FALSE(runItemChange(nullptr, items, rate));
    EXPECT_EQ(box.asked, 1);
    EXPECT_NE(box.lastText.find("1 of 2 photos could not be changed."), std::string::npos) << box.lastText;
    EXPECT_NE(box.lastText.find("B.JPG"), std::string::npos) << box.lastText;
    EXPECT_EQ(items[0]->Rating(), 5);
}

// A raw photo with its XMP sidecar, moved and copied into a folder where its name is taken: both files
// arrive under a free name, and the file that was there stays as it was.
TEST(ItemOperationsTest, TransferKeepsSidecarsAndNeverReplaces) {
    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copy" : "move");
        if (corpusFolder().empty())
            LUMO_SKIP_OR_FAIL("no corpus");
        PhotoFolder folder({}, {{"Nikon.nef", "A.NEF"}});
        TempDir destination;
        writeWholeFile(destination.file("A.NEF"), "already here");
        const std::vector<DocumentItem::Ref> items = folder.items();
        ASSERT_EQ(items.size(), 1u);

        AnsweringMessageBox box(MessageBoxAnswer::Cancel);
        EXPECT_EQ(transferItemsToFolder(nullptr, items, destination.path() + "/", copy), 1);
        EXPECT_EQ(box.asked, 0) << box.lastText;
        const std::vector<std::string> arrived = namesIn(destination.path());
        ASSERT_EQ(arrived.size(), 3u);
        EXPECT_EQ(readWholeFile(destination.file("A.NEF")), "already here");
        std::string base;
        for (const std::string& name : arrived)
            if (name != "A.NEF" && name.ends_with(".NEF"))
                base = name.substr(0, name.size() - 4);
        ASSERT_FALSE(base.empty());
        EXPECT_NE(std::find(arrived.begin(), arrived.end(), base + ".XMP"), arrived.end());
        EXPECT_EQ(namesIn(folder.dir.path()).size(), copy ? 2u : 0u);
    }
    // A move that cannot go is put to the user; skipped, the files stay where they were.
    PhotoFolder folder({}, {{"Nikon.nef", "B.NEF"}});
    AnsweringMessageBox box(MessageBoxAnswer::Skip);
    EXPECT_EQ(transferItemsToFolder(nullptr, folder.items(), folder.dir.file("missing"), false), 0);
    EXPECT_EQ(box.asked, 1);
    EXPECT_NE(box.lastText.find("While moving a photo an error occurred:"), std::string::npos)
        << box.lastText;
    EXPECT_EQ(namesIn(folder.dir.path()), (std::vector<std::string>{"B.NEF", "B.XMP"}));
}

// Deleting asks first: No leaves everything, Yes moves the raw photo and its sidecar to the Trash.
TEST(ItemOperationsTest, DeleteAsksThenMovesToTheTrash) {
    if (corpusFolder().empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    PhotoFolder folder({}, {{"Nikon.nef", "D.NEF"}});
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    ASSERT_TRUE(dataHome);
    const std::string trash = std::string(dataHome) + "/Trash/files";
    const auto trashed = [&] {
        std::size_t found = 0;
        for (const std::string& name : namesIn(trash))
            found += name.starts_with("D") ? 1 : 0;
        return found;
    };
    const std::size_t before = trashed();
    {
        AnsweringMessageBox box(MessageBoxAnswer::No);
        EXPECT_FALSE(deleteItemsToTrash(nullptr, folder.doc, folder.items()));
        EXPECT_EQ(box.asked, 1);
        EXPECT_NE(box.lastText.find("the Trash"), std::string::npos);
        EXPECT_EQ(namesIn(folder.dir.path()).size(), 2u);
        EXPECT_EQ(folder.doc.common().ItemCount(), 1u);
    }
    {
        AnsweringMessageBox box(MessageBoxAnswer::Yes);
        EXPECT_TRUE(deleteItemsToTrash(nullptr, folder.doc, folder.items()));
        EXPECT_EQ(box.asked, 1) << box.lastText;
        EXPECT_TRUE(namesIn(folder.dir.path()).empty());
        EXPECT_EQ(folder.doc.common().ItemCount(), 0u);
        EXPECT_EQ(trashed(), before + 2);
    }
}
