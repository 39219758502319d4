#include "ContactSheetView.h"
#include "ContactSheetCellDelegate.h"
#include "ContactSheetModel.h"
#include "DesktopTestSupport.h"
#include "LumoDoc.h"
#include "NRF/NRF.h"
#include "app/MessageBox.h"
#include "contactsheet/DocumentItem.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TestSupport.h"

#include <QImage>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
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
    int rowNamed(const std::string& name) const {
        for (const DocumentItem::Ref& item : doc.displayedItems())
            if (item->FileName() == name)
                return doc.rowOf(item.get());
        return -1;
    }
    std::vector<std::string> namesSelected() const {
        std::vector<std::string> names;
        for (const DocumentItem::Ref& item : view->selectedItems())
            names.push_back(item->FileName());
        return names;
    }
    void select(const std::vector<std::string>& names) {
        view->clearSelection();
        for (const std::string& name : names)
            view->selectionModel()->select(view->sheetModel()->index(rowNamed(name)),
                                           QItemSelectionModel::Select);
        view->selectionModel()->setCurrentIndex(view->sheetModel()->index(rowNamed(names.front())),
                                                QItemSelectionModel::NoUpdate);
    }
    void sortBy(std::uint32_t type) {
        ContactSheetSortSettings settings = doc.common().SortSettings();
        settings.sortType = type;
        doc.setSortSettings(settings);
        doc.sort();
        EXPECT_TRUE(waitUntil([&] { return !doc.isSorting(); }, 30000));
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
// stays upright: a photo the camera stored turned shows taller than wide as its EXIF says. The caption
// line follows a template.
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
    sheet.view->setCaptionTemplate("{model}: {filenamebase}");
    EXPECT_EQ(sheet.view->sheetModel()->captionAt(0).toStdString(), "Cam 1: IMG_1000");
    sheet.view->grab().save(QString::fromStdString(screenshotPath("contact-sheet.png")));

    // A document that closes before its window leaves the window safe to draw and to close.
    auto doc = std::make_unique<CLumoDoc>();
    ASSERT_TRUE(doc->openFolders({dir.path()}));
    auto view = std::make_unique<CContactSheetView>(doc.get());
    view->show();
    doc.reset();
    view->repaint();
    waitUntil([] { return false; }, 50);
    view.reset();
}

namespace {

struct PhotoState {
    bool tag = false;
    int rating = 0, colorClass = 0, rotation = 0;
    bool operator==(const PhotoState&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PhotoState& s) {
    return out << "tag " << s.tag << " rating " << s.rating << " class " << s.colorClass << " rotation "
               << s.rotation;
}

// What a fresh item reads from the file now (through the engine, with the photo's XMP and prefs).
PhotoState stateInFile(const std::string& path) {
    const DocumentItem::Ref item = DocumentItem::ForFile(path, 0, false);
    EXPECT_EQ(item->Load(), kNRFErrNone) << path;
    return {item->Tag(), item->Rating(), item->ColorClass(), item->Rotation()};
}

// exiftool's value of `key` as text ("" when absent).
std::string text(const nlohmann::json& tags, const std::string& key) {
    if (!tags.contains(key))
        return {};
    const nlohmann::json& value = tags.at(key);
    return value.is_string() ? value.get<std::string>() : value.dump();
}

} // namespace

// The culling keys change the selected photos' files (the others stay), as `lumo tag/rate/colorclass/
// rotate` would: the engine and exiftool read the same values back, and the turned cell is redrawn
// upright. Space asks for the preview at the current cell.
TEST(ContactSheetView, CullingKeysChangeTheSelectedFiles) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    ASSERT_TRUE(preferences);
    preferences->setBool(kPrefSynchColorClassAndLabel, true); // xmp:Label carries the class's name
    TempDir dir;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        writeCameraJpeg(dir.file(name));
    Sheet sheet({dir.path()});
    sheet.select({"a.jpg", "b.jpg"});
    struct Case {
        int key;
        Qt::KeyboardModifiers modifiers;
        PhotoState expected;
    };
    const Case cases[] = {
        {Qt::Key_T, Qt::NoModifier, {true, 0, 0, 0}},
        {Qt::Key_4, Qt::NoModifier, {true, 4, 0, 0}},
        {Qt::Key_7, Qt::NoModifier, {true, 4, 2, 0}},
        {Qt::Key_5, Qt::AltModifier, {true, 4, 5, 0}},
        {Qt::Key_BracketRight, Qt::ControlModifier, {true, 4, 5, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
        QTest::keyClick(sheet.view.get(), static_cast<Qt::Key>(c.key), c.modifiers);
        EXPECT_EQ(stateInFile(dir.file("a.jpg")), c.expected);
        EXPECT_EQ(stateInFile(dir.file("b.jpg")), c.expected);
        EXPECT_EQ(stateInFile(dir.file("c.jpg")), PhotoState{});
    }
    preferences->setBool(kPrefSynchColorClassAndLabel, false);
    // The class's chip takes the colour and name the preferences give it.
    preferences->setString("ColorClass5Color", "#102030");
    preferences->setString("ColorClass5Label", "Keepers");
    EXPECT_TRUE(waitUntil([&] { return sheet.view->colorClassColor(5) == QColor(0x10, 0x20, 0x30); }));
    EXPECT_EQ(sheet.view->colorClassLabel(5), "Keepers");
    preferences->remove("ColorClass5Color");
    preferences->remove("ColorClass5Label");

    // The turned photo's cell gets its new picture, upright: taller than wide.
    const DocumentItem* turned =
        sheet.doc.displayedItems()[static_cast<std::size_t>(sheet.rowNamed("a.jpg"))].get();
    EXPECT_TRUE(waitUntil([&] {
        bool exact = false;
        const ContactSheetCellPicture* picture = sheet.view->pictureFor(turned, &exact);
        return exact && picture->image.height() > picture->image.width();
    }));
    EXPECT_TRUE(turned->Tag());
    sheet.view->grab().save(QString::fromStdString(screenshotPath("contact-sheet-marks.png")));

    const auto read = exiftoolJson({"-G1", "-n", "-XMP-xmp:Rating", "-XMP-xmp:Label", "-XMP-lumograph:all",
                                    "-IFD0:Orientation", dir.file("a.jpg"), dir.file("c.jpg")});
    if (!read)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(read->size(), 2u);
    const nlohmann::json& changed = (*read)[0];
    EXPECT_EQ(changed.value("XMP-xmp:Rating", -1), 4) << changed.dump();
    EXPECT_EQ(text(changed, "XMP-xmp:Label"), NRFGetColorClassLabel(5)) << changed.dump();
    EXPECT_EQ(text(changed, "XMP-lumograph:ColorClass"), "5") << changed.dump();
    EXPECT_EQ(text(changed, "XMP-lumograph:Tagged"), "true") << changed.dump();
    EXPECT_EQ(changed.value("IFD0:Orientation", 0), 6) << changed.dump();
    EXPECT_EQ((*read)[1].value("IFD0:Orientation", 0), 1) << (*read)[1].dump();
    EXPECT_FALSE((*read)[1].contains("XMP-xmp:Rating"));

    QSignalSpy preview(sheet.view.get(), &CContactSheetView::previewRequested);
    QTest::keyClick(sheet.view.get(), Qt::Key_Space);
    ASSERT_EQ(preview.count(), 1);
    EXPECT_EQ(preview[0][1].toInt(), sheet.rowNamed("a.jpg"));
}

// Sorting by capture time and by rating orders the cells by the files' values; the selection and the
// current cell stay with their photos through each new order.
TEST(ContactSheetView, SortsByCaptureTimeAndRatingKeepingTheSelection) {
    TempDir dir;
    // name -> capture time (seconds) and rating
    const std::vector<std::tuple<std::string, int, int>> photos = {
        {"a.jpg", 30, 2}, {"b.jpg", 10, 5}, {"c.jpg", 40, 0}, {"d.jpg", 20, 3}};
    for (const auto& [name, second, rating] : photos)
        writeCameraJpeg(dir.file(name), {.taken = "2024:05:01 10:00:" + std::to_string(second)});
    Sheet sheet({dir.path()});
    for (const auto& [name, second, rating] : photos)
        ASSERT_TRUE(
            sheet.doc.displayedItems()[static_cast<std::size_t>(sheet.rowNamed(name))]->SetRating(rating));
    sheet.select({"d.jpg", "a.jpg"});

    struct Case {
        std::uint32_t type;
        bool reverse;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {kSortCaptureTime, false, {"b.jpg", "d.jpg", "a.jpg", "c.jpg"}},
        {kSortRating, false, {"b.jpg", "d.jpg", "a.jpg", "c.jpg"}}, // the best first
        {kSortRating, true, {"c.jpg", "a.jpg", "d.jpg", "b.jpg"}},
        {kSortFilename, false, {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}},
    };
    QSignalSpy progress(sheet.view.get(), &CContactSheetView::sortProgress);
    for (const Case& c : cases) {
        SCOPED_TRACE(ContactSheetSortTypeLabel(c.type) + (c.reverse ? " reversed" : ""));
        ContactSheetSortSettings settings = sheet.doc.common().SortSettings();
        settings.sortType = c.type;
        settings.reverse = c.reverse;
        sheet.doc.setSortSettings(settings);
        sheet.doc.sort();
        ASSERT_TRUE(waitUntil([&] { return !sheet.doc.isSorting(); }));
        EXPECT_EQ(sheet.namesShown(), c.order);
        std::vector<std::string> selected = sheet.namesSelected();
        std::sort(selected.begin(), selected.end());
        EXPECT_EQ(selected, (std::vector<std::string>{"a.jpg", "d.jpg"}));
        ASSERT_TRUE(sheet.view->currentItem());
        EXPECT_EQ(sheet.view->currentItem()->FileName(), "d.jpg");
    }
    EXPECT_GT(progress.count(), 0);

    // Two sorts asked for at once: the later one's order is the one that stays.
    for (const auto& [type, reverse] : {std::pair{kSortCaptureTime, true}, std::pair{kSortRating, false}}) {
        ContactSheetSortSettings settings = sheet.doc.common().SortSettings();
        settings.sortType = type;
        settings.reverse = reverse;
        sheet.doc.setSortSettings(settings);
        sheet.doc.sort();
    }
    ASSERT_TRUE(waitUntil([&] { return !sheet.doc.isSorting(); }));
    waitUntil([] { return false; }, 100); // an older answer still on its way would land here
    EXPECT_EQ(sheet.namesShown(), (std::vector<std::string>{"b.jpg", "d.jpg", "a.jpg", "c.jpg"}));

    // A photo arriving in the folder shows after the rescan, in the order of the sort (unrated, it
    // comes before c.jpg by name).
    writeCameraJpeg(dir.file("0.jpg"));
    sheet.doc.postRescan();
    ASSERT_TRUE(waitUntil([&] { return sheet.namesShown().size() == 5 && !sheet.doc.isSorting(); }));
    EXPECT_EQ(sheet.namesShown(), (std::vector<std::string>{"b.jpg", "d.jpg", "a.jpg", "0.jpg", "c.jpg"}));
}

// A typed list of names selects the photos it names (with or without extension) and answers how many
// matched; Ctrl+D and Ctrl+A select none and all, End and Shift+Left move and extend; the selection drags as
// the document's items and as their files; Delete asks first, and only a yes moves the photo away and takes
// its cell.
TEST(ContactSheetView, SelectsByNamesAndDragsTheSelection) {
    TempDir dir;
    for (int i = 1; i <= 6; ++i)
        writeCameraJpeg(dir.file("IMG_" + std::to_string(i) + ".JPG"));
    Sheet sheet({dir.path()});
    const QString message = sheet.view->selectFromNames({"IMG_2", "IMG_5.JPG", "IMG_9"});
    EXPECT_EQ(message.toStdString(), "There were 3 items in the selects file(s), 2 matches were found.");
    EXPECT_EQ(sheet.namesSelected(), (std::vector<std::string>{"IMG_2.JPG", "IMG_5.JPG"}));
    EXPECT_EQ(sheet.doc.common().SelectedItems().size(), 2u);

    const QModelIndexList indexes = sheet.view->selectionModel()->selectedIndexes();
    std::unique_ptr<QMimeData> mime(sheet.view->sheetModel()->mimeData(indexes));
    ASSERT_TRUE(mime);
    std::uint32_t documentID = 0;
    std::vector<std::int32_t> numbers;
    ASSERT_TRUE(decodeLumographItems(mime->data(kLumographItemsMimeType), documentID, numbers));
    EXPECT_EQ(documentID, sheet.doc.documentID());
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<std::int32_t>{1, 4}));
    ASSERT_EQ(mime->urls().size(), 2);
    EXPECT_EQ(mime->urls()[0].toLocalFile().toStdString(), dir.file("IMG_2.JPG"));
    EXPECT_FALSE(decodeLumographItems(encodeLumographItems(1, {1, 2}).left(9), documentID, numbers));

    QTest::keyClick(sheet.view.get(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(sheet.view->selectedItems().empty());
    QTest::keyClick(sheet.view.get(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(sheet.view->selectedItems().size(), 6u);
    // The list keys move the current cell; Shift extends the selection from it.
    QTest::keyClick(sheet.view.get(), Qt::Key_End);
    EXPECT_EQ(sheet.view->currentItem()->FileName(), "IMG_6.JPG");
    QTest::keyClick(sheet.view.get(), Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(sheet.namesSelected(), (std::vector<std::string>{"IMG_5.JPG", "IMG_6.JPG"}));

    sheet.select({"IMG_3.JPG"});
    for (const MessageBoxAnswer answer : {MessageBoxAnswer::No, MessageBoxAnswer::Yes}) {
        int asked = 0;
        setMessageBoxHandler([&](std::string_view, MessageBoxButtons) { return ++asked, answer; });
        QTest::keyClick(sheet.view.get(), Qt::Key_Delete);
        setMessageBoxHandler(nullptr);
        EXPECT_EQ(asked, 1);
        const bool kept = answer == MessageBoxAnswer::No;
        EXPECT_EQ(std::filesystem::exists(dir.file("IMG_3.JPG")), kept);
        EXPECT_TRUE(waitUntil([&] { return sheet.namesShown().size() == (kept ? 6u : 5u); }));
    }
}

// Jumping from the top of a long sheet to its end drops what was queued for the old screen, and the new
// screen still fills; so does the way back.
TEST(ContactSheetView, JumpingThroughALongSheetFillsEachScreen) {
    TempDir dir;
    const std::string photo = cameraJpeg({.width = 1200, .height = 800});
    for (int i = 0; i < 400; ++i)
        writeWholeFile(dir.file("IMG_" + std::to_string(10000 + i) + ".JPG"), photo);
    Sheet sheet({dir.path()});
    QScrollBar* bar = sheet.view->verticalScrollBar();
    for (const int position : {bar->maximum(), bar->maximum() / 2, 0}) {
        bar->setValue(position);
        EXPECT_TRUE(waitUntil([&] { return sheet.view->visibleCellsComplete(); }, 30000)) << position;
    }
}

// Real camera files of many kinds (and some that fail) each end with a picture or an error bitmap in
// their cell: nothing hangs and nothing is left as a placeholder.
TEST(ContactSheetView, CorpusFilesEachGetAPictureOrAnErrorBitmap) {
    const std::vector<std::string> files = corpusFiles(
        {".jpg", ".cr2", ".nef", ".dng", ".raf", ".rw2", ".crw", ".x3f", ".heic", ".tif", ".psd"});
    if (files.empty())
        GTEST_SKIP() << "no shared corpus";
    TempDir dir;
    std::size_t copied = 0;
    for (std::size_t i = 0; i < files.size() && copied < 24;
         i += std::max<std::size_t>(1, files.size() / 24)) {
        const std::filesystem::path from(files[i]);
        std::filesystem::copy_file(from, dir.file(std::to_string(i) + "_" + from.filename().string()));
        ++copied;
    }
    Sheet sheet({dir.path()}, {1200, 900});
    int first = 0, last = -1;
    sheet.view->visibleRows(first, last);
    EXPECT_GT(last, first);
    for (int row = first; row <= last; ++row) {
        bool exact = false;
        const ContactSheetCellPicture* picture =
            sheet.view->pictureFor(sheet.doc.displayedItems()[static_cast<std::size_t>(row)].get(), &exact);
        ASSERT_TRUE(picture && exact) << sheet.namesShown()[static_cast<std::size_t>(row)];
        EXPECT_TRUE(picture->error ? !picture->errorText.isEmpty() : !picture->image.isNull());
    }
    sheet.view->grab().save(QString::fromStdString(screenshotPath("contact-sheet-corpus.png")));
}
