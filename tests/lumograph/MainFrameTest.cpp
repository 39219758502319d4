#include "MainFrame.h"
#include "ContactSheetView.h"
#include "DesktopApp.h"
#include "DesktopTestSupport.h"
#include "FolderPane.h"
#include "ItemOperations.h"
#include "LumoDoc.h"
#include "PreviewWindow.h"
#include "app/SingleInstance.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QImage>
#include <QPointer>
#include <QProcess>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using namespace lumo::test;

namespace {

// Two folders of camera photos, built once for the file's tests.
class MainFrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_photos = std::make_unique<TempDir>();
        for (const char* folder : {"Game", "Portraits"}) {
            std::filesystem::create_directories(s_photos->file(folder));
            for (int i = 0; i < 4; ++i) {
                CameraPhoto photo;
                photo.orientation = i == 1 ? 6 : 1;
                photo.taken = "2024:05:01 10:00:0" + std::to_string(i);
                writeCameraJpeg(s_photos->file(std::string(folder) + "/IMG_000" + std::to_string(i) + ".JPG"),
                                photo);
            }
        }
    }
    static void TearDownTestSuite() { s_photos.reset(); }

    static QString folder(const char* name) { return QString::fromStdString(s_photos->file(name)); }

    static bool thumbnailsIn(CMainFrame& frame) {
        CContactSheetView* view = frame.activeView();
        return view && !view->document()->isSorting() && view->visibleCellsComplete();
    }

    static QStringList tabTitles(CMainFrame& frame) {
        QStringList titles;
        for (int i = 0; i < frame.documentCount(); ++i)
            titles << frame.viewAt(i)->document()->title();
        return titles;
    }

    // The program as its own process, with settings and caches of its own, the sanitizers' leak list
    // and the offscreen platform.
    static void startLumograph(QProcess& process, const QStringList& args, const TempDir& home) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const auto suppressions = std::filesystem::path(__FILE__).parent_path() / "lsan.supp";
        if (std::filesystem::exists(suppressions))
            environment.insert("LSAN_OPTIONS",
                               QString::fromStdString("suppressions=" + suppressions.string()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        const QString settings = QString::fromStdString(home.file("settings"));
        const QString cache = QString::fromStdString(home.file("cache"));
        process.start(LUMO_LUMOGRAPH, QStringList{"--settings", settings, "--cache", cache} + args);
    }

    static int exitCodeOf(QProcess& process, QString* errors = nullptr) {
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        if (errors)
            *errors = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    static int runLumograph(const QStringList& args, const TempDir& home, QString* errors = nullptr) {
        QProcess process;
        startLumograph(process, args, home);
        return exitCodeOf(process, errors);
    }

    static std::unique_ptr<TempDir> s_photos;
};

std::unique_ptr<TempDir> MainFrameTest::s_photos;

} // namespace

// The command line: the program's own options come out, Qt's are left with their values, a file means
// its folder (a metadata file stays itself) and a path that is not there opens nothing.
TEST_F(MainFrameTest, CommandLineNamesTheFoldersToOpen) {
    const std::string game = s_photos->file("Game");
    writeWholeFile(s_photos->file("Game/Caption.XMP"), "<x/>");
    const DesktopCommandLine line = parseDesktopCommandLine(
        {"--settings", "/s", "--cache=/c", "-platform", "offscreen", "--screenshot", "out.png", "--size",
         "640x480", game + "/IMG_0001.JPG", game + "/Caption.XMP", s_photos->file("Missing"), game});
    ASSERT_EQ(line.error, "");
    EXPECT_EQ(line.settingsFolder, "/s");
    EXPECT_EQ(line.cacheFolder, "/c");
    EXPECT_EQ(line.screenshot, "out.png");
    EXPECT_EQ(line.width, 640);
    EXPECT_EQ(line.height, 480);
    std::vector<std::string> missing;
    EXPECT_EQ(desktopFoldersToOpen(line.parameters, &missing),
              (std::vector<std::string>{game, game + "/Caption.XMP", game}));
    EXPECT_EQ(missing, std::vector<std::string>{s_photos->file("Missing")});

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--screenshot"},
                                               {"--screenshot", "a.png", "--size", "640"},
                                               {"--screenshot", "a.png", "--size", "99999x99999"},
                                               {"--size", "640x480", "DIR"}})
        EXPECT_NE(parseDesktopCommandLine(bad).error, "") << bad.front() << " " << bad.size();
}

// A folder opens as a tab named after it and fills in; opening it again brings the same tab forward;
// a folder that cannot be read opens nothing; closing the window closes every sheet.
TEST_F(MainFrameTest, OpensFoldersAsTabsAndClosesThem) {
    CMainFrame frame;
    frame.setKeepsSession(false);
    frame.resize(1000, 700);
    frame.show();
    CLumoDoc* game = frame.openFolders({folder("Game")});
    ASSERT_NE(game, nullptr);
    EXPECT_EQ(game->title(), "Game");
    EXPECT_EQ(game->common().ItemCount(), 4u);
    ASSERT_TRUE(waitUntil([&] { return thumbnailsIn(frame); }, 30000));
    // Marks for the review picture.
    ASSERT_EQ(game->displayedItems().size(), 4u);
    runItemChange(&frame, {game->displayedItems()[0]}, BatchChange{BatchChange::SetRating, 4, {}});
    runItemChange(&frame, {game->displayedItems()[2]}, BatchChange{BatchChange::SetTag, 0, {}});
    runItemChange(&frame, {game->displayedItems()[3]}, BatchChange{BatchChange::SetColorClass, 2, {}});
    EXPECT_TRUE(frame.grab().save(QString::fromStdString(screenshotPath("main-window.png"))));

    ASSERT_NE(frame.openFolders({folder("Portraits")}), nullptr);
    EXPECT_EQ(frame.openFolders({folder("Game") + "/"}), game);
    EXPECT_EQ(frame.documentCount(), 2);
    EXPECT_EQ(frame.activeView()->document(), game);
    EXPECT_EQ(frame.openFolders({folder("Missing")}), nullptr);
    // A folder whose name is not UTF-8 (an old card, a share) opens with its photo, byte for byte.
    TempDir latin1;
    const std::string shoot = latin1.file("Sh\xE9oot");
    std::filesystem::create_directories(shoot);
    writeCameraJpeg(shoot + "/caf\xE9.JPG");
    CLumoDoc* odd = frame.openFolderPaths({shoot});
    ASSERT_NE(odd, nullptr);
    ASSERT_EQ(odd->common().ItemCount(), 1u);
    EXPECT_EQ(odd->common().Items()[0]->FullPath(), shoot + "/caf\xE9.JPG");
    EXPECT_EQ(frame.openFolderPaths({shoot + "/"}), odd);
    EXPECT_EQ(frame.documentCount(), 3);
    ASSERT_EQ(frame.openFolders({folder("Game")}), game); // back to the front

    // Space opens the one-up preview; another request replaces it; closing the window takes it along.
    CContactSheetView* view = frame.activeView();
    view->setCurrentIndex(view->model()->index(1, 0));
    QTest::keyClick(view, Qt::Key_Space);
    QPointer<CPreviewWindow> first = frame.previewWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->currentIndex(), 1);
    QTest::keyClick(view, Qt::Key_Enter);
    EXPECT_TRUE(waitUntil([&] { return first.isNull(); }));
    QPointer<CPreviewWindow> second = frame.previewWindow();
    EXPECT_NE(second, nullptr);

    frame.close();
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(frame.documentCount(), 0);
    EXPECT_EQ(frame.openFolders({folder("Game")}), nullptr);
}

// The open sheets, their order and the one in front come back in the next window; a folder that has
// gone since is left out.
TEST_F(MainFrameTest, TheNextWindowRestoresTheSheets) {
    TempDir gone;
    writeCameraJpeg(gone.file("IMG_0001.JPG"));
    {
        CMainFrame frame;
        frame.openFolders({folder("Portraits")});
        frame.openFolders({QString::fromStdString(gone.path())});
        frame.openFolders({folder("Game")});
        frame.openFolders({folder("Portraits")});
        ASSERT_EQ(frame.documentCount(), 3);
        frame.close();
    }
    std::filesystem::remove_all(gone.path());
    CMainFrame next;
    next.setKeepsSession(false);
    next.restoreSession();
    EXPECT_EQ(tabTitles(next), (QStringList{"Portraits", "Game"}));
    ASSERT_NE(next.activeView(), nullptr);
    EXPECT_EQ(next.activeView()->document()->title(), "Portraits");
    EXPECT_EQ(next.activeView()->document()->common().ItemCount(), 4u);
}

// Bookmarks stay in the preferences for the next window; activating a folder of the pane opens it.
TEST_F(MainFrameTest, FolderPaneKeepsBookmarksAndOpensFolders) {
    CMainFrame frame;
    frame.setKeepsSession(false);
    frame.folderPane()->addBookmark(folder("Game"));
    frame.folderPane()->addBookmark(folder("Game"));
    EXPECT_EQ(CFolderPane().bookmarks(), QStringList{folder("Game")});

    const QList<QTreeWidgetItem*> found =
        frame.folderPane()->findItems("Game", Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(found.size(), 1);
    Q_EMIT frame.folderPane()->itemActivated(found.front(), 0);
    EXPECT_EQ(tabTitles(frame), QStringList{"Game"});

    frame.folderPane()->removeBookmark(folder("Game"));
    EXPECT_TRUE(CFolderPane().bookmarks().isEmpty());
}

// A second start hands each of its folders (a photo standing for its folder) to the running window,
// which opens them (a folder open already comes forward), and exits without a window of its own.
TEST_F(MainFrameTest, ASecondStartHandsItsFoldersOver) {
    CMainFrame frame;
    frame.setKeepsSession(false);
    SingleInstance running;
    ASSERT_EQ(running.claimLock(), SingleInstance::Claim::First);
    ASSERT_TRUE(running.listen(frame.handOverHandler()));

    TempDir home;
    EXPECT_EQ(runLumograph({folder("Game"), folder("Portraits") + "/IMG_0002.JPG"}, home), 0);
    // A path that is not there is named, and the start ends as failed; the others still went.
    QString errors;
    EXPECT_EQ(runLumograph({folder("Missing"), folder("Game")}, home, &errors), 1);
    EXPECT_TRUE(errors.contains(folder("Missing"))) << errors.toStdString();
    EXPECT_TRUE(waitUntil([&] { return frame.documentCount() == 2; }));
    EXPECT_EQ(tabTitles(frame), (QStringList{"Game", "Portraits"}));
    EXPECT_FALSE(std::filesystem::exists(home.file("settings"))) << "the second start opened its preferences";
    running.release();
}

// The headless run writes the window at the size asked once the thumbnails are in; bad usage and a
// folder that cannot be read end with a message and no picture.
TEST_F(MainFrameTest, HeadlessRunWritesTheWindow) {
    TempDir home;
    const QString picture = QString::fromStdString(home.file("window.png"));
    QString errors;
    ASSERT_EQ(runLumograph({"--screenshot", picture, "--size", "800x600", folder("Game")}, home, &errors), 0)
        << errors.toStdString();
    const QImage image(picture);
    EXPECT_EQ(image.size(), QSize(800, 600));
    image.save(QString::fromStdString(screenshotPath("main-window-headless.png")));

    const QString missing = QString::fromStdString(home.file("missing.png"));
    EXPECT_EQ(runLumograph({"--screenshot", missing, "--size", "800", folder("Game")}, home), 2);
    EXPECT_EQ(runLumograph({"--screenshot", missing, folder("Missing")}, home), 2);
    EXPECT_FALSE(QFileInfo::exists(missing));
}

// Photos dropped from a sheet on a folder are copied (Ctrl) or moved there, and both the sheet they
// came from and the one showing the folder rescan.
TEST_F(MainFrameTest, DroppedPhotosArriveAndBothSheetsRescan) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("Card"));
    std::filesystem::create_directories(dir.file("Desk"));
    writeCameraJpeg(dir.file("Card/DSC_0001.JPG"));
    writeCameraJpeg(dir.file("Card/DSC_0002.JPG"));
    writeCameraJpeg(dir.file("Desk/DSC_0100.JPG"));
    CMainFrame frame;
    frame.setKeepsSession(false);
    CLumoDoc* card = frame.openFolders({QString::fromStdString(dir.file("Card"))});
    CLumoDoc* desk = frame.openFolders({QString::fromStdString(dir.file("Desk"))});
    ASSERT_TRUE(card && desk);
    CContactSheetView* cardView = frame.viewAt(0);
    ASSERT_TRUE(waitUntil([&] { return !card->isSorting() && card->displayedItems().size() == 2; }));

    // A move onto the folder the photos are in leaves them alone.
    const struct {
        const char* to;
        bool copy;
        std::size_t cardAfter, deskAfter;
    } drops[] = {{"Card", false, 2, 1}, {"Desk", true, 2, 3}, {"Desk", false, 0, 5}};
    for (const auto& drop : drops) {
        cardView->selectAll();
        ASSERT_EQ(cardView->selectedItems().size(), 2u);
        frame.transferSelection(cardView, QString::fromStdString(dir.file(drop.to)), drop.copy);
        EXPECT_EQ(card->common().ItemCount(), drop.cardAfter) << drop.to << " copy " << drop.copy;
        EXPECT_EQ(desk->common().ItemCount(), drop.deskAfter) << drop.to << " copy " << drop.copy;
        if (drop.cardAfter == 2)
            EXPECT_TRUE(std::filesystem::exists(dir.file("Card/DSC_0001.JPG")));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("Card/DSC_0001.JPG")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("Desk/DSC_0001.JPG")));
}

// A terminate signal (a logout) closes the running window as its close box does: the sort threads end,
// then the sheets, then the caches, and the instance lock goes last.
TEST_F(MainFrameTest, TheProgramEndsInOrderWhenTerminated) {
    TempDir home;
    std::filesystem::create_directories(home.file("settings"));
    writeWholeFile(home.file("settings/LumoDebug.txt"), "SHUTDOWN_LOGGING ON\n");
    const std::string instanceFolder = SingleInstance::defaultFolder();
    SingleInstance probe;
    QProcess process;
    startLumograph(process, {folder("Game")}, home);
    // Running once the lock is taken and the window listens for hand-overs.
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(probe.socketPath()); }, 60000));
    ASSERT_TRUE(waitUntil([&] {
        return SingleInstance::handOver(instanceFolder, {s_photos->file("Portraits"), 0});
    }));
    process.terminate();
    EXPECT_EQ(exitCodeOf(process), 0);

    const std::string log = readWholeFile(home.file("cache/Lumo.log"));
    std::size_t at = 0;
    for (const char* step : {"Terminating ContactSheetSortManager", "Destroying LumoCache",
                             "Closing preferences", "Closing mutex", "Exit Instance complete"}) {
        const std::size_t found = log.find(step, at);
        EXPECT_NE(found, std::string::npos) << step << " missing or out of order";
        at = found == std::string::npos ? at : found;
    }
    EXPECT_FALSE(std::filesystem::exists(probe.socketPath()));
}
