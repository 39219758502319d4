#include "ContactSheetView.h"
#include "ContactSheetCellDelegate.h"
#include "ContactSheetModel.h"
#include "DesktopTestSupport.h"
#include "LumoDoc.h"
#include "support/TestSupport.h"

#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace lumo::test;

namespace {

// A document over `folders` and its view on screen, with the first screen of thumbnails in.
struct Sheet {
    CLumoDoc doc;
    std::unique_ptr<CContactSheetView> view;

    explicit Sheet(const std::vector<std::string>& folders, QSize size = {900, 640}) {
        EXPECT_TRUE(doc.openFolders(folders));
        view = std::make_unique<CContactSheetView>(&doc);
        view->resize(size);
        view->show();
        EXPECT_TRUE(waitUntil([&] { return !doc.isSorting() && view->visibleCellsComplete(); }, 30000));
    }
    std::vector<std::string> namesShown() const {
        std::vector<std::string> names;
        for (const DocumentItem::Ref& item : doc.displayedItems())
            names.push_back(item->FileName());
        return names;
    }
    // The colour at the centre of the thumbnail of `row` as drawn; invalid when it is off screen.
    QColor thumbnailCentre(int row) const {
        const QImage shot = view->viewport()->grab().toImage();
        const QRect cell = view->visualRect(view->sheetModel()->index(row));
        auto* delegate = static_cast<ContactSheetCellDelegate*>(view->itemDelegate());
        const QPoint centre = delegate->thumbnailRect(cell, view->thumbnailSize()).center();
        return shot.rect().contains(centre) ? shot.pixelColor(centre) : QColor();
    }
};

} // namespace

// A folder opens with every visible cell drawn from the cache (no placeholder left), and the picture
// stays upright: a photo the camera stored turned shows wider than tall as its EXIF says.
TEST(ContactSheetView, OpensAFolderAndFillsTheVisibleCells) {
    TempDir dir;
    for (int i = 0; i < 24; ++i)
        writeCameraJpeg(
            dir.file("IMG_" + std::to_string(1000 + i) + ".JPG"),
            {.orientation = i == 0 ? 6 : 1, .taken = "2024:05:01 10:00:" + std::to_string(10 + i)});
    Sheet sheet({dir.path()});
    ASSERT_EQ(sheet.view->sheetModel()->rowCount(), 24);
    int first = 0, last = -1;
    sheet.view->visibleRows(first, last);
    EXPECT_EQ(first, 0);
    EXPECT_GT(last, 4);
    for (int row = first; row <= last; ++row)
        EXPECT_NE(sheet.thumbnailCentre(row), ContactSheetCellDelegate::placeholderColor()) << row;
    const ContactSheetCellPicture* turned = sheet.view->pictureFor(sheet.doc.displayedItems()[0].get());
    ASSERT_TRUE(turned);
    EXPECT_LT(turned->image.width(), turned->image.height()) << "drawn upright";
    sheet.view->grab().save(QString::fromStdString(screenshotPath("contact-sheet.png")));
}
