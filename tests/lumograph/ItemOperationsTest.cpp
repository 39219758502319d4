#include "ItemOperations.h"
#include "DesktopTestSupport.h"
#include "LumoDoc.h"
#include "support/TestSupport.h"

#include <QKeyEvent>

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

// A folder of camera photos opened as a document.
struct PhotoFolder {
    TempDir dir;
    CLumoDoc doc;
    explicit PhotoFolder(const std::vector<std::string>& names) {
        for (const std::string& name : names)
            writeCameraJpeg(dir.file(name));
        EXPECT_TRUE(doc.openFolders({dir.path()}));
    }
    std::vector<DocumentItem::Ref> items() const {
        std::vector<DocumentItem::Ref> all;
        for (std::uint32_t i = 0; i < doc.common().ItemCount(); ++i)
            all.push_back(doc.common().GetDocumentItemAt(i));
        return all;
    }
};

} // namespace

// A change made through the background operation lands in every photo's file.
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
}
