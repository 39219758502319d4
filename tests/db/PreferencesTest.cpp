#include "db/Preferences.h"
#include "SQLiteLockHolder.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "db/PreferencesConversion.h"
#include "db/StoreLock.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using CILA::VObject;
using lumo::test::readWholeFile;
using lumo::test::TempDir;

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The process log stays in one folder for the whole test binary.
        LumoPaths::initialise(ResolvedLocations{m_settings.path(), lumo::test::testRunFolder() + "/cache"});
    }
    void TearDown() override {
        CPreferences::ClosePreferences();
        LumoPaths::reset();
    }
    std::string store() const { return m_settings.file(CPreferences::kFileName); }
    std::vector<std::string> damagedCopies() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_settings.path()))
            if (entry.path().filename().string().find(".damaged-") != std::string::npos)
                names.push_back(entry.path().string());
        return names;
    }
    std::string logSoFar() {
        LumoLogger::instance().flush();
        return readWholeFile(LumoPaths::logFilePath());
    }

    TempDir m_settings;
};

} // namespace

TEST_F(PreferencesTest, TypedValuesPersistAndASoundStoreIsBackedUp) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    auto prefs = CPreferences::instance();
    ASSERT_NE(prefs, nullptr);
    EXPECT_FALSE(std::filesystem::exists(store() + ".bak")); // nothing to back up yet
    EXPECT_EQ(prefs->getInt("SortCacheDays", 30), 30);
    EXPECT_TRUE(prefs->setInt("SortCacheDays", 7));
    EXPECT_TRUE(prefs->setBool("SortCacheCheckDate", true));
    EXPECT_TRUE(prefs->setDouble("Zoom", 1.5));
    EXPECT_TRUE(prefs->setString("IngestPrimaryDestPath", "/photos/{date}"));
    EXPECT_TRUE(prefs->setString("WrongType", "text"));
    EXPECT_TRUE(prefs->save());
    CPreferences::ClosePreferences();
    EXPECT_EQ(CPreferences::instance(), nullptr);

    ASSERT_TRUE(CPreferences::GetPreferences());
    prefs = CPreferences::instance();
    EXPECT_EQ(prefs->getInt("SortCacheDays", 30), 7);
    EXPECT_TRUE(prefs->getBool("SortCacheCheckDate", false));
    EXPECT_EQ(prefs->getDouble("Zoom", 1.0), 1.5);
    EXPECT_EQ(prefs->getString("IngestPrimaryDestPath", ""), "/photos/{date}");
    EXPECT_EQ(prefs->getInt("WrongType", 5), 5); // a value of another type reads as the default
    EXPECT_TRUE(std::filesystem::exists(store() + ".bak"));
    EXPECT_EQ(prefs->remove("Zoom"), KLKeyValueDB::Outcome::Done);
    EXPECT_EQ(prefs->remove("Zoom"), KLKeyValueDB::Outcome::Absent);
    EXPECT_EQ(prefs->keys(), (std::vector<std::string>{"IngestPrimaryDestPath", "SortCacheCheckDate",
                                                       "SortCacheDays", "WrongType"}));
    EXPECT_FALSE(prefs->lastRestoration());
}

TEST_F(PreferencesTest, ADamagedStoreIsKeptAsideAndTheLastGoodCopyReturns) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    CPreferences::instance()->setInt("Kept", 1);
    CPreferences::ClosePreferences();
    ASSERT_TRUE(CPreferences::GetPreferences()); // makes the ".bak"
    CPreferences::instance()->setInt("AfterBackup", 2);
    CPreferences::ClosePreferences();

    const std::string garbage(3000, '\x5a');
    lumo::test::writeWholeFile(store(), garbage);
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_NE(logSoFar().find("Preferences: PrefsDB integrity check FAILED"), std::string::npos);
    const auto damaged = damagedCopies();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(readWholeFile(damaged[0]), garbage);
    auto prefs = CPreferences::instance();
    EXPECT_EQ(prefs->getInt("Kept", 0), 1);        // from the last good copy
    EXPECT_EQ(prefs->getInt("AfterBackup", 0), 0); // written after it: lost with the damaged store
    auto restored = prefs->lastRestoration();
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->from, store() + ".bak");
    EXPECT_EQ(restored->damagedCopy, damaged[0]);
    EXPECT_EQ(restored->time.size(), 19u) << restored->time;
    prefs = nullptr; // a holder keeps the store open, and a damaged one could not be set aside
    CPreferences::ClosePreferences();

    // Damaged again, and the backup too: an empty store, and both damaged files stay on disk.
    lumo::test::writeWholeFile(store(), garbage);
    lumo::test::writeWholeFile(store() + ".bak", garbage);
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_EQ(CPreferences::instance()->keys(), std::vector<std::string>{});
    EXPECT_EQ(CPreferences::instance()->integrity(), KLKeyValueDB::Integrity::Sound);
    EXPECT_EQ(damagedCopies().size(), 2u);
    EXPECT_EQ(readWholeFile(store() + ".bak"), garbage);
    restored = CPreferences::instance()->lastRestoration();
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->from, "");
}

// Another process may have the store open or locked at any moment: neither is damage.
TEST_F(PreferencesTest, OtherProcessesUsingTheStoreAreWaitedForNeverTakenForDamage) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    CPreferences::instance()->setInt("Kept", 1);
    CPreferences::ClosePreferences();
    {
        // In the middle of another process's commit: the start waits for it.
        SQLiteLockHolder holder(store(), std::chrono::milliseconds(500));
        ASSERT_TRUE(CPreferences::GetPreferences());
        EXPECT_EQ(CPreferences::instance()->getInt("Kept", 0), 1);
        EXPECT_TRUE(CPreferences::instance()->setInt("Written", 2));
        EXPECT_TRUE(CPreferences::instance()->save());
        CPreferences::ClosePreferences();
    }
    EXPECT_TRUE(damagedCopies().empty());
    EXPECT_TRUE(std::filesystem::exists(store() + ".bak"));

    // A damaged store that another process has open stays in place until that process is done.
    lumo::test::writeWholeFile(store(), std::string(3000, '\x5a'));
    StoreLock other(store() + CPreferences::kLockSuffix);
    ASSERT_EQ(other.lockShared(std::chrono::milliseconds(0)), StoreLock::Result::Acquired);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(readWholeFile(store()), std::string(3000, '\x5a'));
        EXPECT_TRUE(damagedCopies().empty());
        other.unlock();
    });
    EXPECT_TRUE(CPreferences::GetPreferences());
    release.join();
    EXPECT_EQ(damagedCopies().size(), 1u);
    EXPECT_EQ(CPreferences::instance()->getInt("Kept", 0), 1); // from the copy made at the last start
}

TEST_F(PreferencesTest, TheOlderPreferencesFileIsConvertedOnce) {
    const std::string older = m_settings.file("com.kestrellabs.Lumograph.prefs");
    const std::string document = R"(<?xml version="1.0"?>
<LumoPreferencesRoot>
  <SortCacheDays>14</SortCacheDays>
  <Zoom>1.5</Zoom>
  <SortCacheCheckDate>TRUE</SortCacheCheckDate>
  <Value name="IngestPrimaryDestPath" type="string">0123</Value>
  <Value key="Spaced">  two words </Value>
  <Counted type="integer">x</Counted>
  <Flag type="boolean">yes</Flag>
  <LumoAutoplay><ExePath>/usr/bin/lumo</ExePath><Inner><Deep type="double">2</Deep></Inner></LumoAutoplay>
  <Empty/>
</LumoPreferencesRoot>)";
    lumo::test::writeWholeFile(older, document);
    ASSERT_TRUE(CPreferences::GetPreferences());
    auto prefs = CPreferences::instance();
    EXPECT_NE(logSoFar().find("Performing Database Preferences Conversion"), std::string::npos);
    EXPECT_EQ(prefs->keys(),
              (std::vector<std::string>{"Empty", "Flag", "IngestPrimaryDestPath", "LumoAutoplay/ExePath",
                                        "LumoAutoplay/Inner/Deep", "SortCacheCheckDate", "SortCacheDays",
                                        "Spaced", "Zoom"}));
    const std::pair<const char*, VObject> expected[] = {
        {"SortCacheDays", VObject(14)},
        {"Zoom", VObject(1.5)},
        {"SortCacheCheckDate", VObject(true)},
        {"IngestPrimaryDestPath", VObject("0123")},
        {"Spaced", VObject("  two words ")},
        {"Flag", VObject(true)},
        {"LumoAutoplay/ExePath", VObject("/usr/bin/lumo")},
        {"LumoAutoplay/Inner/Deep", VObject(2.0)},
        {"Empty", VObject("")},
    };
    for (const auto& [key, value] : expected) {
        VObject got;
        EXPECT_TRUE(prefs->getValue(key, got)) << key;
        EXPECT_EQ(got, value) << key;
    }
    CPreferences::ClosePreferences();

    // Once: the older file stays as it was, and a later start leaves the store alone.
    EXPECT_EQ(readWholeFile(older), document);
    lumo::test::writeWholeFile(
        older, "<LumoPreferencesRoot><SortCacheDays>99</SortCacheDays></LumoPreferencesRoot>");
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_EQ(CPreferences::instance()->getInt("SortCacheDays", 0), 14);
}

TEST(PreferencesConversion, RefusesWhatIsNotAPreferencesDocument) {
    const char* refused[] = {
        "",
        "<LumoPreferencesRoot><A>1</A>",   // not well formed
        "<OtherRoot><A>1</A></OtherRoot>", // another document
        R"(<!DOCTYPE LumoPreferencesRoot [<!ENTITY e "x">]><LumoPreferencesRoot><A>&e;</A></LumoPreferencesRoot>)",
        "<!DOCTYPE LumoPreferencesRoot SYSTEM \"http://127.0.0.1:9/x.dtd\"><LumoPreferencesRoot/>",
    };
    for (const char* document : refused)
        EXPECT_FALSE(readOlderPreferences(document)) << document;
    EXPECT_FALSE(readOlderPreferences("<LumoPreferencesRoot>" + std::string(kMaxOlderPreferencesSize, ' ') +
                                      "</LumoPreferencesRoot>"));

    // Sections deeper than the limit are left out; the rest is kept.
    std::string deep = "<LumoPreferencesRoot><Top>1</Top>";
    for (int i = 0; i < kMaxSectionDepth + 2; ++i)
        deep += "<S>";
    deep += "<V>1</V>";
    for (int i = 0; i < kMaxSectionDepth + 2; ++i)
        deep += "</S>";
    deep += "</LumoPreferencesRoot>";
    const auto values = readOlderPreferences(deep);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_EQ(values->front().first, "Top");
}

TEST_F(PreferencesTest, NeitherClosingNorAFailedOpenLeavesAnotherThreadStuck) {
    lumo::test::Watchdog watchdog("preferences shared between threads");
    // What instance() gave stays usable after the preferences were closed; they close for good when
    // the last holder lets go, committing what it wrote.
    ASSERT_TRUE(CPreferences::GetPreferences());
    auto held = CPreferences::instance();
    ASSERT_TRUE(held->setInt("Kept", 1));
    CPreferences::ClosePreferences();
    EXPECT_EQ(CPreferences::instance(), nullptr);
    EXPECT_EQ(held->getInt("Kept", 0), 1);
    EXPECT_TRUE(held->setInt("Late", 2));
    held = nullptr;
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_EQ(CPreferences::instance()->getInt("Late", 0), 2);
    CPreferences::ClosePreferences();

    // An open that fails on another thread tells the user through the user-interface thread, which
    // meanwhile can still ask for the preferences.
    setUIThread();
    const std::string notAFolder = m_settings.file("not-a-folder");
    lumo::test::writeWholeFile(notAFolder, "x");
    LumoPaths::initialise(ResolvedLocations{notAFolder, lumo::test::testRunFolder() + "/cache"});
    std::vector<std::string> shown;
    setMessageBoxHandler([&](std::string_view text, MessageBoxButtons) {
        shown.emplace_back(text);
        return MessageBoxAnswer::Ok;
    });
    std::atomic<bool> done{false};
    bool opened = true;
    lumo::NamedThread starter("starter", 1 << 20, [&] {
        opened = CPreferences::GetPreferences();
        done = true;
    });
    while (!done) {
        EXPECT_EQ(CPreferences::instance(), nullptr);
        runUIThreadTasks();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    starter.join();
    setMessageBoxHandler(nullptr);
    EXPECT_FALSE(opened);
    EXPECT_EQ(shown, std::vector<std::string>{"Fatal error: could not open or create preferences."});
}
