// Reverse geocoding: the cache's keys and answers, the rules that write a place into a photo's
// metadata, country codes, and the places the real catalog service answers, through the cache and
// through `lumo geocode` on photos of the corpus.

#include "gps/ReverseGeoCache.h"
#include "gps/ReverseGeoUtils.h"

#include "db/KLKeyValueDB.h"
#include "dyn_platform/DynPlatform.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/MetadataTemplate.h"
#include "support/PhotoEngineTest.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using lumo::test::TempDir;
using namespace std::chrono_literals;

namespace {

IPTCLocation place(std::string sublocation, std::string city, std::string state, std::string country,
                   std::string code) {
    IPTCLocation p;
    p.m_sublocation = std::move(sublocation);
    p.m_city = std::move(city);
    p.m_provinceState = std::move(state);
    p.m_countryName = std::move(country);
    p.m_countryCode = std::move(code);
    return p;
}

ReverseGeocodeSettings settingsWith(std::initializer_list<std::size_t> on) {
    ReverseGeocodeSettings settings;
    for (const std::size_t i : on)
        settings.m_apply[i] = true;
    return settings;
}

std::string text(const IPTCRec& record, IPTCFieldID id) {
    std::string value;
    IPTCGetDataSet(&record, id, 1, true, value);
    return value;
}

// The cache of the test, over a store of its own.
class CacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        LumoPaths::initialise(LocationInputs{});
        ReverseGeoCache::Terminate();
        ASSERT_TRUE(ReverseGeoCache::Initialize(m_dir.file("GeocodeCache.db")));
    }
    void TearDown() override { ReverseGeoCache::Terminate(); }
    TempDir m_dir;
};

} // namespace

TEST(ReverseGeoCacheKey, SixDecimalsZeroPaddedToTenThenTheSource) {
    const struct {
        double lat, lon;
        const char* context;
        const char* key;
    } cases[] = {
        {1.5, -0.25, "offline", "001.500000,-00.250000_offline"},
        {-33.8688, 151.2093, "offline", "-33.868800,151.209300_offline"},
        {48.85661, 2.35222, "https://geo.example/reverse",
         "048.856610,002.352220_https://geo.example/reverse"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReverseGeoCache::MakeKey(c.lat, c.lon, c.context), c.key);
}

TEST_F(CacheTest, StoresFetchesKeepsSourcesApartAndSurvivesAReopen) {
    const IPTCLocation paris = place("", "Paris", "Ile-de-France", "France", "FR");
    ASSERT_TRUE(ReverseGeoCache::Get());
    ASSERT_TRUE(ReverseGeoCache::Get()->Store(48.8566, 2.3522, "offline", paris));
    IPTCLocation found;
    EXPECT_TRUE(ReverseGeoCache::Get()->Fetch(48.8566, 2.3522, "offline", found));
    EXPECT_EQ(found, paris);
    // Another source's answer for the same position is not this one's.
    EXPECT_FALSE(ReverseGeoCache::Get()->Fetch(48.8566, 2.3522, "https://geo.example", found));
    EXPECT_NE(lumo::test::loggedSoFar().find(
                  "ReverseGeoCache::Fetch() found cached location data for 048.856600,002.352200_offline."),
              std::string::npos);

    ReverseGeoCache::Terminate();
    EXPECT_FALSE(ReverseGeoCache::Get());
    ASSERT_TRUE(ReverseGeoCache::Initialize(m_dir.file("GeocodeCache.db")));
    found = {};
    EXPECT_TRUE(ReverseGeoCache::Get()->Fetch(48.8566, 2.3522, "offline", found));
    EXPECT_EQ(found.m_city, "Paris");

    // A value with entries missing reads them as empty; a value that is no hash is no answer.
    ReverseGeoCache::Terminate();
    {
        auto db = KLKeyValueDB::create(m_dir.file("GeocodeCache.db"));
        CILA::VObject partial = CILA::VObject::makeHash();
        partial.store("ct", CILA::VObject("Oslo"));
        ASSERT_TRUE(db->storeKeyValue(ReverseGeoCache::MakeKey(59.9, 10.7, "offline"), partial));
        ASSERT_TRUE(db->storeKeyValue(ReverseGeoCache::MakeKey(1, 1, "offline"), CILA::VObject("junk")));
        ASSERT_TRUE(db->endTransaction());
    }
    ASSERT_TRUE(ReverseGeoCache::Initialize(m_dir.file("GeocodeCache.db")));
    found = {};
    EXPECT_TRUE(ReverseGeoCache::Get()->Fetch(59.9, 10.7, "offline", found));
    EXPECT_EQ(found, place("", "Oslo", "", "", ""));
    EXPECT_FALSE(ReverseGeoCache::Get()->Fetch(1, 1, "offline", found));
}

TEST(ReverseGeoApply, TheRulesOfNeverOverwriteEmptyValuesAndLocationsShown) {
    const IPTCLocation paris = place("Le Marais", "Paris", "Ile-de-France", "France", "FR");
    IPTCRec record;
    IPTCSetDataSet(&record, IPTC_CITY, 1, "Lyon");

    // Never overwrite: the City the photo has stays, the empty State is filled.
    ApplyReverseGeoRecord(
        record, paris,
        settingsWith({kGeocodeCity, kGeocodeState, kGeocodeCountryCode, kGeocodeNeverOverwrite}));
    EXPECT_EQ(text(record, IPTC_CITY), "Lyon");
    EXPECT_EQ(text(record, IPTC_PROVINCE_STATE), "Ile-de-France");
    EXPECT_EQ(text(record, IPTC_COUNTRY_CODE), "FR");
    EXPECT_EQ(text(record, IPTC_COUNTRY_NAME), ""); // not switched on

    // Without it, the City is replaced; an empty city in the answer leaves City alone.
    ApplyReverseGeoRecord(record, paris, settingsWith({kGeocodeCity}));
    EXPECT_EQ(text(record, IPTC_CITY), "Paris");
    ApplyReverseGeoRecord(record, place("", "", "Bavaria", "Germany", "DE"), settingsWith({kGeocodeCity}));
    EXPECT_EQ(text(record, IPTC_CITY), "Paris");

    // The same place shown twice is listed once; the location created takes the taken switches.
    const auto shown = settingsWith({kGeocodeLocationShown, kGeocodeCreatedCity, kGeocodeCreatedCountry});
    ApplyReverseGeoRecord(record, paris, shown);
    ApplyReverseGeoRecord(record, paris, shown);
    ASSERT_EQ(record.m_locationShown.size(), 1u);
    EXPECT_EQ(record.m_locationShown[0].m_sublocation, "Le Marais");
    ApplyReverseGeoRecord(record, place("", "Lyon", "", "France", "FR"), shown);
    EXPECT_EQ(record.m_locationShown.size(), 2u);
    ASSERT_EQ(record.m_locationCreated.size(), 1u);
    EXPECT_EQ(record.m_locationCreated[0].m_city, "Lyon");
    EXPECT_EQ(record.m_locationCreated[0].m_countryName, "France");
    EXPECT_EQ(record.m_locationCreated[0].m_provinceState, "");
}

TEST(ReverseGeoCountryCodes, TwoAndThreeLettersCurrentAndFormerOthersLogged) {
    LumoPaths::initialise(LocationInputs{});
    if (!std::filesystem::exists("/usr/share/iso-codes/json/iso_3166-1.json"))
        LUMO_SKIP_OR_FAIL("iso-codes is not installed (scripts/setup installs it)");
    const struct {
        const char* code;
        const char* name;
    } cases[] = {{"FR", "France"},
                 {"fra", "France"},
                 {"DEU", "Germany"},
                 {"jp", "Japan"},
                 {"SUN", "USSR, Union of Soviet Socialist Republics"},
                 {"F", ""},
                 {"FRAN", ""},
                 {"QQ", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(TranslateCountryCode(c.code), c.name) << c.code;
    const std::string log = lumo::test::loggedSoFar();
    EXPECT_NE(log.find("TranslateCountryCode(), country code 'FRAN' is neither two or three characters long"),
              std::string::npos);
    EXPECT_NE(log.find("TranslateCountryCode(), unknown country code 'QQ'"), std::string::npos);
}

namespace {

// Photos of the corpus with a GPS position, copied into a folder of the test.
class GeocodePhotoTest : public lumo::test::PhotoEngineTest {
protected:
    std::string corpusPhoto(const std::string& name) {
        const std::string folder = lumo::test::corpusFolder();
        if (folder.empty())
            return {};
        const std::string path = m_dir.file(name);
        std::filesystem::copy_file(folder + "/exiftool/" + name, path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        return path;
    }
    TempDir m_dir;
};

bool launchCatalog() {
    return DynPlatform::instance().launch_dyn_platform({LUMO_CATALOGD, 30s, {}});
}

} // namespace

TEST_F(GeocodePhotoTest, ApplyReverseGeoDataWritesTheFileAndKeepsWhatItHolds) {
    // GPS.jpg names its country ("United Kingdom") and has no sublocation.
    const std::string path = corpusPhoto("GPS.jpg");
    if (path.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    std::string error;
    ASSERT_TRUE(ApplyReverseGeoData(
        path, place("Hexham", "Hexham", "England", "Britain", "GB"),
        settingsWith({kGeocodeSublocation, kGeocodeCountry, kGeocodeLocationShown, kGeocodeNeverOverwrite}),
        &error))
        << error;
    const auto read = lumo::test::exiftoolJson(
        {"-IPTC:Sub-location", "-IPTC:Country-PrimaryLocationName", "-XMP-iptcExt:LocationShownCity", path});
    if (!read)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ((*read)[0].value("Sub-location", ""), "Hexham");
    EXPECT_EQ((*read)[0].value("Country-PrimaryLocationName", ""), "United Kingdom");
    EXPECT_EQ((*read)[0].value("LocationShownCity", ""), "Hexham");

    EXPECT_FALSE(ApplyReverseGeoData(m_dir.file("missing.jpg"), place("", "X", "", "", ""),
                                     settingsWith({kGeocodeCity}), &error));
    EXPECT_NE(error.find("ApplyReverseGeoData() couldn't load IPTC record for "), std::string::npos);
}

TEST_F(GeocodePhotoTest, TheCatalogServiceAnswersThroughTheCache) {
    ReverseGeoCache::Terminate();
    ASSERT_TRUE(ReverseGeoCache::Initialize(m_dir.file("GeocodeCache.db")));
    std::vector<ReverseGeoAnswer> answers;
    std::string error;
    // Without the service every position fails with the batch's message.
    DynPlatform::instance().dyn_platform_shutdown();
    EXPECT_FALSE(PreloadReverseGeocodeBatch({{48.8566, 2.3522}}, "", answers, &error));
    EXPECT_EQ(error.rfind("While preloading a batch of GPS coordinates for reverse geocoding lookup an error "
                          "occurred:",
                          0),
              0u)
        << error;
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].place);

    ASSERT_TRUE(launchCatalog()) << DynPlatform::instance().lastError();
    const std::vector<GeoPosition> positions = {
        {48.8566, 2.3522}, {35.6895, 139.6917}, {48.8566, 2.3522}, {0, -30}, {95, 0}};
    const bool answered = PreloadReverseGeocodeBatch(positions, "", answers, &error);
    DynPlatform::instance().dyn_platform_shutdown();
    ASSERT_EQ(answers.size(), positions.size());
    EXPECT_EQ(
        answers[4].error,
        "Error finding address information from GPS coordinate. Please verify GPS coordinate is accurate.");
    if (!answered && error.find("unknown request") != std::string::npos)
        GTEST_SKIP() << "this catalog service has no gazetteer yet: " << error;
    ASSERT_TRUE(answered) << error;
    ASSERT_TRUE(answers[0].place) << answers[0].error;
    EXPECT_EQ(answers[0].place->m_city, "Paris");
    EXPECT_EQ(answers[0].place->m_countryCode, "FR");
    EXPECT_EQ(answers[2].place, answers[0].place);
    ASSERT_TRUE(answers[1].place) << answers[1].error;
    EXPECT_EQ(answers[1].place->m_countryName, "Japan");
    EXPECT_FALSE(answers[3].place && !answers[3].place->m_city.empty()); // the middle of the Atlantic

    // The answers are cached: asked again without the service, they come from the cache.
    IPTCLocation cached;
    EXPECT_TRUE(ReverseGeoCache::Get()->Fetch(35.6895, 139.6917, "offline", cached));
    EXPECT_EQ(cached, *answers[1].place);
    EXPECT_TRUE(PreloadReverseGeocodeBatch({{35.6895, 139.6917}}, "", answers, &error));
    ReverseGeoCache::Terminate();
}

TEST_F(GeocodePhotoTest, LumoGeocodeNamesCitiesAndCountriesOffline) {
    const std::vector<std::string> photos = {corpusPhoto("Apple.jpg"), corpusPhoto("GoPro.jpg"),
                                             corpusPhoto("Google.jpg")};
    if (photos[0].empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    std::vector<std::string> args = {"geocode", "--json", "--no-input", "--fields",
                                     "City,Country,CountryCode"};
    args.insert(args.end(), photos.begin(), photos.end());
    const auto result = lumo::test::runProcess(LUMO_BINARY, args, {{"LUMO_CATALOGD_PATH", LUMO_CATALOGD}});
    if (result.exitCode != 0 && (result.out + result.err).find("unknown request") != std::string::npos)
        GTEST_SKIP() << "this catalog service has no gazetteer yet";
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    const auto read =
        lumo::test::exiftoolJson({"-IPTC:City", "-IPTC:Country-PrimaryLocationName",
                                  "-IPTC:Country-PrimaryLocationCode", photos[0], photos[1], photos[2]});
    if (!read)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(read->size(), 3u);
    const char* countries[] = {"GB", "US", "ES"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE((*read)[i].value("City", "").empty()) << photos[i];
        EXPECT_EQ((*read)[i].value("Country-PrimaryLocationCode", ""), countries[i]) << photos[i];
        EXPECT_FALSE((*read)[i].value("Country-PrimaryLocationName", "").empty()) << photos[i];
    }
}
