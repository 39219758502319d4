#include "db/Preferences.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

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
    CPreferences* prefs = CPreferences::instance();
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
    EXPECT_TRUE(prefs->remove("Zoom"));
    EXPECT_FALSE(prefs->remove("Zoom"));
    EXPECT_EQ(prefs->keys(), (std::vector<std::string>{"IngestPrimaryDestPath", "SortCacheCheckDate",
                                                       "SortCacheDays", "WrongType"}));
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
    CPreferences* prefs = CPreferences::instance();
    EXPECT_EQ(prefs->getInt("Kept", 0), 1);        // from the last good copy
    EXPECT_EQ(prefs->getInt("AfterBackup", 0), 0); // written after it: lost with the damaged store
    CPreferences::ClosePreferences();

    // Damaged again, and the backup too: an empty store, and both damaged files stay on disk.
    lumo::test::writeWholeFile(store(), garbage);
    lumo::test::writeWholeFile(store() + ".bak", garbage);
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_TRUE(CPreferences::instance()->keys().empty());
    EXPECT_TRUE(CPreferences::instance()->integrityCheck());
    EXPECT_EQ(damagedCopies().size(), 2u);
    EXPECT_EQ(readWholeFile(store() + ".bak"), garbage);
}
