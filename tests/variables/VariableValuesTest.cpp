#include "variables/VariableValues.h"
#include "NRF/NRF.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoPaths.h"
#include "db/Preferences.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"
#include "support/TestSupport.h"
#include "support/TextUtils.h"
#include "variables/VariableExpander.h"
#include "variables/VariableValueForms.h"
#include "variables/VariableValuesInternal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

using namespace lumo::vars;
using namespace lumo::test;

namespace {

std::string value(std::string_view name, const VariableContext& context, unsigned flags = 0) {
    std::string out = "<none>";
    if (!VariableFamilyValue(name, context, flags, out))
        return "<not a variable>";
    return out;
}

struct Photo {
    NRFImageInfoRec image{"/photos/100NIKON/_DSC0042.NEF", 0x4E4E4546}; // "NNEF"
    IPTCRec record;
    VariableContext context() const {
        VariableContext c;
        c.image = &image;
        c.record = &record;
        return c;
    }
    std::string operator()(std::string_view name, unsigned flags = 0) const {
        return value(name, context(), flags);
    }
};

void setField(IPTCRec& record, const char* label, std::string_view text) {
    std::string error;
    ASSERT_TRUE(
        IPTCSetFieldText(record, *IPTCFindCatalogueEntry(label), IPTCEncodingSettings(), text, false, error))
        << error;
}

// Names the special family (the expander's own) answers.
const std::set<std::string> kSpecial = {"sequence", "ingestseq", "page",    "pagecount", "tab",
                                        "nl",       "index",     "total",   "rand3",     "rand4",
                                        "rand10",   "rand100",   "rand1000"};

TEST(VariableValues, EveryListedNameHasAValueAndAMissingSourceGivesAnEmptyOne) {
    const VariableContext nothing;
    for (const VariableInfo& info : VariableList()) {
        if (kSpecial.count(info.name))
            continue;
        std::string out = "unset";
        ASSERT_TRUE(VariableFamilyValue(info.name, nothing, 0, out)) << info.name;
        const std::string_view name = info.name;
        const bool fromClock =
            name.starts_with("today") || name.starts_with("now") || name == "tomorrow" || name == "yesterday";
        if (!fromClock)
            EXPECT_EQ(out, "") << info.name;
        else
            EXPECT_NE(out, "") << info.name;
    }
    std::string out;
    EXPECT_FALSE(VariableFamilyValue("nosuchname", nothing, 0, out));
}

// Values a damaged file may carry (infinities, NaN, huge rationals, out-of-range codes) give some
// text for every variable, never a fault.
TEST(VariableValues, ExtremeValuesAreWrittenSafely) {
    Photo photo;
    NRFImageInfoRec& image = photo.image;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    image.m_exposureTime = nan, image.m_shutterSpeedValue = -inf, image.m_fNumber = inf;
    image.m_apertureValue = 1e30f, image.m_focalLength = 3e38f, image.m_brightness = nan;
    image.m_iso = 0xFFFFFFFF, image.m_flash = 0xFFFF, image.m_meteringMode = 0xFFFF,
    image.m_lightSource = 0xFFFF;
    image.m_exposureProgram = 0xFFFF, image.m_exposureBias = -inf, image.m_width = 0xFFFFFFFF;
    image.m_height = 1, image.m_xResolution = 1e300, image.m_yResolution = 1e-300, image.m_resolutionUnit = 3;
    image.m_hasGPS = true, image.m_latitude = 1e300, image.m_longitude = std::nan("");
    image.m_gpsSpeed = 4294967295.0, image.m_gpsTrack = -1e300, image.m_altitude = 1e300;
    image.m_rating = -32768, image.m_colorClass = 99, image.m_orientation = -5;
    image.m_captureTime = {-32768, 255, 255, 255, 255, 255};
    image.m_subSeconds = 0xFFFFFFFF, image.m_modTimeNs = std::numeric_limits<std::int64_t>::min();
    image.m_crop = {0.9, 0.9, 0.1, 0.1};
    image.m_colorSpaceCode = 999;
    photo.record.m_noDate = photo.record.m_noTime = false;
    photo.record.m_dateMonth = 0xFFFF, photo.record.m_timeHour = 0xFFFF, photo.record.m_hasZone = true;
    photo.record.m_zoneHours = -32768, photo.record.m_zoneMinutes = 0xFFFF, photo.record.m_callForImage = 77;
    for (unsigned flags : {0u, unsigned(kVariableSortable)})
        for (const VariableInfo& info : VariableList()) {
            if (kSpecial.count(info.name))
                continue;
            EXPECT_LT(photo(info.name, flags).size(), 400u) << info.name;
        }
}

TEST(VariableValues, ShutterSpeedForms) {
    const std::pair<double, const char*> cases[] = {
        {10000, "Bulb"},  {1000, "Lo"},       {0.00001, "HI"},      {0, "0"},         {-1, "0"},
        {1.0 / 3, "1/3"}, {1.0 / 2.9, "1/3"}, {0.3448, "1/3"},      {0.345, "1/2.9"}, {0.4, "1/2.5"},
        {0.5, "1/2"},     {0.8, "1/1.2"},     {1.0 / 250, "1/250"}, {1, "1"},         {1.5, "1.5"},
        {2, "2"},         {2.5, "2.5"},       {2.9, "3"},           {30, "30"},       {1.04, "1"},
        {1.1, "1.1"},
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(FormatShutterSpeed(seconds, false), expected) << seconds;
    EXPECT_EQ(FormatShutterSpeed(1.0 / 250, true), "0000.004000");

    Photo photo;
    EXPECT_EQ(photo("shutter"), "");
    photo.image.m_shutterSpeedValue = 8.0f; // APEX: 1/256 s when there is no exposure time
    EXPECT_EQ(photo("shutter"), "1/256");
    photo.image.m_exposureTime = 1.0f / 125;
    EXPECT_EQ(photo("shutter"), "1/125");
    EXPECT_EQ(photo("shutter", kVariableSortable), "0000.008000");
}

TEST(VariableValues, FileSizeAndPositionForms) {
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {0, "0"},          {1, "1K"},         {499, "1K"},       {1500, "2K"},      {999499, "999K"},
        {999999, "1000K"}, {1000000, "1.0M"}, {1049999, "1.0M"}, {1050000, "1.1M"}, {25430000, "25.4M"}};
    for (const auto& [bytes, expected] : sizes)
        EXPECT_EQ(FormatFileSize(bytes, false), expected) << bytes;
    EXPECT_EQ(FormatFileSize(1234, true), "000001234");

    EXPECT_EQ(FormatGPSSpeed(12, 'K', false), "12 km/h");
    EXPECT_EQ(FormatGPSSpeed(12.004, 'M', false), "12 mph");
    EXPECT_EQ(FormatGPSSpeed(3.456, 'N', false), "3.46 knots");
    EXPECT_EQ(FormatGPSSpeed(3.456, 'N', true), "00003.46");
    EXPECT_EQ(FormatDegrees(-33.8688197, false), "-33.86882");
    EXPECT_EQ(FormatDegrees(-33.8688197, true), "466.13118");
    EXPECT_EQ(FormatDegrees(151.2092955, true), "651.20930");

    Photo photo;
    photo.image.m_fileSize = 999999;
    EXPECT_EQ(photo("filesize"), "1000K");
    EXPECT_EQ(photo("filesize", kVariableSortable), "000999999");
    EXPECT_EQ(photo("bytes"), "999999");
    EXPECT_EQ(photo("latitude"), ""); // no position
    photo.image.m_hasGPS = true;
    photo.image.m_latitude = 51.5007, photo.image.m_longitude = -0.1246;
    photo.image.m_gpsSpeed = 5.5, photo.image.m_gpsSpeedRef = 'K';
    photo.image.m_gpsTrackRef = 'M', photo.image.m_gpsVersion = 0x02020000;
    photo.image.m_gpsHasTimeStamp = true, photo.image.m_gpsHours = 7, photo.image.m_gpsMinutes = 5;
    EXPECT_EQ(photo("latitude"), "51.50070");
    EXPECT_EQ(photo("longitude"), "-0.12460");
    EXPECT_EQ(photo("gps"), "51.50070, -0.12460");
    EXPECT_EQ(photo("speed"), "5.50 km/h");
    EXPECT_EQ(photo("trackref"), "magnetic");
    EXPECT_EQ(photo("gpsversion"), "2.2.0.0");
    EXPECT_EQ(photo("gpstime"), "07:05:00");
    EXPECT_EQ(photo("distance"), ""); // no home location set
}

TEST(VariableValues, DateTables) {
    const char* ap[] = {"Jan.", "Feb.", "March", "April", "May",  "June",
                        "July", "Aug.", "Sept.", "Oct.",  "Nov.", "Dec."};
    for (int month = 1; month <= 12; ++month)
        EXPECT_EQ(MonthNameAP(month), ap[month - 1]);
    EXPECT_EQ(MonthName(9), "September");
    EXPECT_EQ(MonthName3(9), "Sep");
    EXPECT_EQ(MonthName(13), "");
    EXPECT_EQ(DayName(0), "Sunday");
    EXPECT_EQ(DayName3(6), "Sat");
    EXPECT_EQ(DayOfWeek(2026, 12, 7), 1); // a Monday
    EXPECT_EQ(DayOfWeek(2000, 2, 29), 2);
    EXPECT_EQ(DayOfWeek(1970, 1, 1), 4);

    Photo photo;
    photo.image.m_captureTime = {2026, 3, 1, 0, 7, 9};
    photo.image.m_subSeconds = 4567; // 1/10000 s
    const std::pair<const char*, const char*> capture[] = {
        {"year4", "2026"},
        {"year2", "26"},
        {"month", "3"},
        {"month0", "03"},
        {"monthname", "March"},
        {"monthname3", "Mar"},
        {"monthnameap", "March"},
        {"day", "1"},
        {"day0", "01"},
        {"dow", "Sunday"},
        {"dow3", "Sun"},
        {"hour", "12"},
        {"hour0", "12"},
        {"hour24", "00"},
        {"minute", "07"},
        {"second", "09"},
        {"ampm", "AM"},
        {"subsecond", "45"},
        {"datesort", "20260301"},
        {"datesortdash", "2026-03-01"},
        {"timesort", "000709"},
        {"timesortdash", "00-07-09"},
        {"timesortlong", "00070945"},
        {"datemil", "01MAR26"},
    };
    for (const auto& [name, expected] : capture)
        EXPECT_EQ(photo(name), expected) << name;
    {
        // Without a camera time: the file's creation time, else (no file here) its modification time.
        Photo noCameraTime;
        noCameraTime.image.m_path = "/nonexistent/a.jpg";
        std::tm tm{};
        tm.tm_year = 2020 - 1900, tm.tm_mon = 1, tm.tm_mday = 29, tm.tm_hour = 10, tm.tm_isdst = -1;
        noCameraTime.image.m_modTimeNs = static_cast<std::int64_t>(std::mktime(&tm)) * 1000000000;
        EXPECT_EQ(noCameraTime("datesort"), "20200229");
        EXPECT_EQ(noCameraTime("moddatesort"), "20200229");
        EXPECT_EQ(noCameraTime("modtimesort"), "100000");
    }

    photo.record.m_noDate = false;
    photo.record.m_dateYear = 2025, photo.record.m_dateMonth = 9, photo.record.m_dateDay = 5;
    photo.record.m_noTime = false, photo.record.m_hasZone = true;
    photo.record.m_timeHour = 13, photo.record.m_timeMinute = 4, photo.record.m_timeSecond = 0;
    photo.record.m_zoneHours = -5, photo.record.m_zoneMinutes = 30;
    const std::pair<const char*, const char*> metadata[] = {
        {"iptcdate", "20250905"},
        {"iptctime", "130400-0530"},
        {"iptchour", "1"},
        {"iptchour0", "01"},
        {"iptchour24", "13"},
        {"iptcampm", "PM"},
        {"iptcmonthnameap", "Sept."},
        {"wiredate", "Friday, Sept. 5, 2025"},
        {"iptcdow3", "Fri"},
        {"iptcyear2", "25"},
    };
    for (const auto& [name, expected] : metadata)
        EXPECT_EQ(photo(name), expected) << name;

    VariableContext clock;
    std::tm tm{};
    tm.tm_year = 2026 - 1900, tm.tm_mon = 11, tm.tm_mday = 31, tm.tm_hour = 15, tm.tm_min = 2,
    tm.tm_isdst = -1;
    clock.now = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(250);
    EXPECT_EQ(value("todaysort", clock), "20261231");
    EXPECT_EQ(value("todaymil", clock), "31DEC26");
    EXPECT_EQ(value("nowsortlong", clock), "15020025");
    EXPECT_EQ(value("nowampm", clock), "PM");
    EXPECT_EQ(value("nowhour", clock), "3");
    EXPECT_EQ(value("tomorrow", clock), SystemShortDate({2027, 1, 1, 12, 0, 0, -1, true, true}));
}

TEST(VariableValues, FileCameraAndPhotoState) {
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    Photo photo;
    const std::pair<const char*, const char*> file[] = {
        {"filename", "_DSC0042.NEF"},
        {"filenamebase", "_DSC0042"},
        {"folder", "100NIKON"},
        {"folderpath", "/photos/100NIKON"},
        {"parentfolderpath", "/photos"},
        {"foldernum", "100"},
        {"prefix", "DSC"},
        {"type", "Nikon RAW"},
        {"mediatype", "still"},
        {"path", "/photos/100NIKON/_DSC0042.NEF"},
    };
    for (const auto& [name, expected] : file)
        EXPECT_EQ(photo(name), expected) << name;

    NRFImageInfoRec& image = photo.image;
    image.m_fNumber = 5.6f, image.m_iso = 400, image.m_exposureTime = 1.0f / 100;
    image.m_width = 6000, image.m_height = 4000, image.m_xResolution = image.m_yResolution = 300;
    image.m_resolutionUnit = 2, image.m_exifImageNumber = 123456;
    image.m_crop = {0.0, 0.0, 0.5, 0.5};
    const std::pair<const char*, const char*> camera[] = {
        {"aperture", "5.6"},
        {"iso", "400"},
        {"av", "5.0"},
        {"tv", "6.6"},
        {"sv", "7.0"},
        {"ev", "11.6"},
        {"ev100", "9.6"},
        {"width", "6000"},
        {"maxdim", "6000"},
        {"pixels", "24000000"},
        {"cropwidth", "3000"},
        {"cropheight", "2000"},
        {"aspect", "1.50"},
        {"hascrop", "1"},
        {"resolution", "300 pixels/inch"},
        {"resolutioncms", "118 pixels/cm"},
        {"printsize", "20.0 x 13.3 inches"},
        {"printsizecms", "50.8 x 33.9 cm"},
        {"frame", "123456"},
        {"frame4", "3456"},
    };
    for (const auto& [name, expected] : camera)
        EXPECT_EQ(photo(name), expected) << name;

    const std::pair<unsigned, const char*> flashes[] = {{0x00, "no flash"},
                                                        {0x01, "fired"},
                                                        {0x05, "fired, return not detected"},
                                                        {0x59, "auto, fired, red-eye reduction"},
                                                        {0x18, "auto, did not fire"},
                                                        {0x20, "no flash function"}};
    for (const auto& [flash, expected] : flashes) {
        image.m_flash = static_cast<std::uint16_t>(flash);
        EXPECT_EQ(photo("flash"), expected) << flash;
    }
    image.m_meteringMode = 2, image.m_lightSource = 17;
    EXPECT_EQ(photo("meteringmode"), "center-weighted average");
    EXPECT_EQ(photo("lightsource"), "standard light A");

    const std::pair<int, const char*> ratings[] = {
        {0, "unrated"}, {1, "1 star"}, {2, "2 stars"}, {5, "5 stars"}, {-1, "reject"}};
    for (const auto& [rating, expected] : ratings) {
        image.m_rating = static_cast<std::int16_t>(rating);
        EXPECT_EQ(photo("rating"), expected);
    }
    image.m_rating = 4;
    EXPECT_EQ(photo("rating", kVariableSortable), "1");
    EXPECT_EQ(photo("numstars"), "4");
    const char* rotations[] = {"none",   "90 CW",        "180",        "90 CCW",
                               "mirror", "mirror 90 CW", "mirror 180", "mirror 90 CCW"};
    for (int code = 0; code < 8; ++code) {
        image.m_orientation = static_cast<std::int16_t>(code);
        EXPECT_EQ(photo("rotation"), rotations[code]);
    }
    EXPECT_EQ(photo("rotation", kVariableSortable), "270");
    image.m_colorClass = 1;
    EXPECT_EQ(photo("colorclassval"), "1");
    EXPECT_EQ(photo("colorclasscolor").size(), 7u);
    image.m_pictureControl.name = "STANDARD", image.m_pictureControl.toningSaturation = "+2";
    EXPECT_EQ(photo("pcnm"), "STANDARD");
    EXPECT_EQ(photo("pcts"), "+2");
    NRFTerminate();
}

TEST(VariableValues, MetadataFields) {
    Photo photo;
    setField(photo.record, "Description/Caption", "Goal / celebration");
    setField(photo.record, "Headline", "Cup final");
    setField(photo.record, "Keywords", "soccer,final");
    setField(photo.record, "Creator/Photographer", "A. Shooter");
    setField(photo.record, "Creator's Job Title", "Staff");
    setField(photo.record, "Title/Object Name", "FINAL-01");
    photo.record.m_locationCreated.push_back({});
    photo.record.m_locationCreated[0].m_city = "Lyon";
    photo.record.m_locationCreated[0].m_locationId = {"a", "b"};
    photo.record.m_callForImage = 2;
    const std::pair<const char*, const char*> cases[] = {
        {"caption", "Goal / celebration"}, {"keywords", "soccer,final"}, {"byline", "A. Shooter"},
        {"photog", "A. Shooter"},          {"title", "Staff"},           {"object", "FINAL-01"},
        {"alttextalt", "Cup final"},       {"citytaken", "Lyon"},        {"locationidtaken", "a,b"},
        {"callforimage", "Yes"},           {"virin", "FINAL-01"},        {"countrytaken", ""},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(photo(name), expected) << name;
    setField(photo.record, "Alt Text", "Players");
    EXPECT_EQ(photo("alttextalt"), "Players");

    // Through the expander, in file-name mode the caption's slash goes and the folder path stays.
    EXPECT_EQ(ExpandVariables("{caption}|{folderpath}", photo.context(), kVariableFileName).text,
              "Goal - celebration|/photos/100NIKON");
    EXPECT_EQ(ExpandVariables("{caption::UC}", photo.context(), 0).text, "GOAL / CELEBRATION");
}

// The job, user and client records and the home location come from the preferences.
TEST(VariableValues, SettingsRecordsAndHomeLocation) {
    const TempDir settings;
    LumoPaths::initialise(ResolvedLocations{settings.path(), testRunFolder() + "/cache"});
    ASSERT_TRUE(CPreferences::GetPreferences());
    {
        const auto preferences = CPreferences::instance();
        ASSERT_TRUE(preferences->setString(VariablesPersonKey("username"), "Ann Lee"));
        ASSERT_TRUE(preferences->setString(VariablesPersonKey("clientcity"), "Oslo"));
        ASSERT_TRUE(preferences->setString(kPrefVariablesJobName, "Stored job"));
        ASSERT_TRUE(preferences->setDouble(kPrefGPSHomeLatitude, 51.4779));
        ASSERT_TRUE(preferences->setDouble(kPrefGPSHomeLongitude, 0.0));
    }
    Photo photo;
    EXPECT_EQ(photo("username"), "Ann Lee");
    EXPECT_EQ(photo("clientcity"), "Oslo");
    EXPECT_EQ(photo("usermobile"), "");
    EXPECT_EQ(photo("jobname"), "Stored job");
    VariableContext withJob = photo.context();
    withJob.jobName = "Cup final";
    EXPECT_EQ(value("jobname", withJob), "Cup final");
    EXPECT_EQ(value("usernickname", withJob), "<not a variable>");

    photo.image.m_hasGPS = true;
    photo.image.m_latitude = 48.8584, photo.image.m_longitude = 2.2945; // Paris from Greenwich
    EXPECT_EQ(photo("distance"), "333.95 km");
    EXPECT_EQ(photo("bearingto"), "149.82");
    EXPECT_EQ(photo("bearingfrom"), "331.58");
    CPreferences::ClosePreferences();
    LumoPaths::reset();
    EXPECT_EQ(photo("distance"), "");
}

// The colour profile values through Little CMS: the built-in sRGB, and embedded profiles of the corpus
// against exiftool's reading of their names.
TEST(VariableValues, ColorProfile) {
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    Photo photo;
    EXPECT_EQ(photo("icc"), "");
    photo.image.m_colorSpaceCode = kNRFColorSpaceSRGB;
    EXPECT_NE(photo("icc"), "");
    EXPECT_EQ(photo("icc").find("(embedded)"), std::string::npos);
    EXPECT_NEAR(std::stod(photo("gamma")), 2.2, 0.1);
    EXPECT_EQ(photo("prrx"), "0.6400");
    EXPECT_EQ(photo("prgy"), "0.6000");
    EXPECT_EQ(photo("prbx"), "0.1500");
    EXPECT_EQ(photo("wpx"), "0.3127");
    const std::vector<std::string> files = corpusFiles({".jpg", ".tif", ".nef"});
    std::vector<std::string> args = {"-ICC_Profile:ProfileDescription"};
    args.insert(args.end(), files.begin(), files.end());
    const auto json = files.empty() ? std::nullopt : exiftoolJson(args);
    int compared = 0;
    for (const auto& entry : json.value_or(nlohmann::json::array())) {
        if (!entry.contains("ProfileDescription") || !entry["ProfileDescription"].is_string())
            continue;
        const std::string path = entry.value("SourceFile", "");
        NRFImageInfoRef record;
        if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone ||
            NRFGetImageInfo(record.get()) != kNRFErrNone)
            continue;
        VariableContext context;
        context.image = record.get();
        if (record->m_colorSpaceCode == kNRFColorSpaceEmbedded) {
            EXPECT_EQ(value("icc", context), entry["ProfileDescription"].get<std::string>() + " (embedded)")
                << path;
            ++compared;
        }
        NRFCloseImage(&record);
    }
    NRFTerminate();
    if (json)
        EXPECT_GT(compared, 0);
}

// The camera values of the corpus files, read through the engine, against exiftool's reading.
TEST(VariableValues, CameraValuesMatchExiftoolOnTheCorpus) {
    const std::vector<std::string> files = corpusFiles({".jpg", ".nef", ".cr2", ".dng", ".arw", ".orf"});
    if (files.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> args = {"-n",
                                     "-EXIF:Make",
                                     "-EXIF:Model",
                                     "-EXIF:ISO",
                                     "-EXIF:FNumber",
                                     "-EXIF:ExposureTime",
                                     "-EXIF:Flash",
                                     "-EXIF:DateTimeOriginal",
                                     "-Composite:GPSLatitude",
                                     "-Composite:GPSLongitude",
                                     "-EXIF:FocalLength",
                                     "-EXIF:FocalLengthIn35mmFormat"};
    args.insert(args.end(), files.begin(), files.end());
    const auto json = exiftoolJson(args);
    if (!json)
        GTEST_SKIP() << "exiftool is not installed";
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    int compared = 0;
    for (const auto& entry : *json) {
        const std::string path = entry.value("SourceFile", "");
        NRFImageInfoRef record;
        if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone ||
            NRFGetImageInfo(record.get()) != kNRFErrNone)
            continue;
        VariableContext context;
        context.image = record.get();
        // exiftool writes a byte that is no text as "?"; the engine keeps it as a character.
        auto trimmed = [](std::string text) {
            if (text.find('?') != std::string::npos)
                return std::string("(not comparable)");
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            return text;
        };
        if (entry.contains("Make") && entry["Make"].is_string())
            if (trimmed(entry["Make"].get<std::string>()) != "(not comparable)")
                EXPECT_EQ(trimmed(value("make", context)), trimmed(entry["Make"].get<std::string>())) << path;
        if (entry.contains("Model") && entry["Model"].is_string())
            if (trimmed(entry["Model"].get<std::string>()) != "(not comparable)")
                EXPECT_EQ(trimmed(value("model", context)), trimmed(entry["Model"].get<std::string>()))
                    << path;
        if (entry.contains("ISO") && entry["ISO"].is_number() && !value("iso", context).empty())
            EXPECT_EQ(value("iso", context), std::to_string(entry["ISO"].get<long>())) << path;
        if (entry.contains("FNumber") && entry["FNumber"].is_number() && entry["FNumber"].get<double>() > 0)
            EXPECT_EQ(value("aperture", context), lumo::formatString("%.1f", entry["FNumber"].get<double>()))
                << path;
        if (entry.contains("ExposureTime") && entry["ExposureTime"].is_number() &&
            entry["ExposureTime"].get<double>() > 0)
            EXPECT_EQ(value("shutter", context),
                      FormatShutterSpeed(static_cast<float>(entry["ExposureTime"].get<double>()), false))
                << path;
        if (entry.contains("DateTimeOriginal") && entry["DateTimeOriginal"].is_string()) {
            const std::string taken = entry["DateTimeOriginal"].get<std::string>(); // "YYYY:MM:DD HH:MM:SS"
            if (taken.size() >= 19 && taken.compare(0, 4, "0000") != 0)
                EXPECT_EQ(value("datesort", context) + value("timesort", context),
                          taken.substr(0, 4) + taken.substr(5, 2) + taken.substr(8, 2) + taken.substr(11, 2) +
                              taken.substr(14, 2) + taken.substr(17, 2))
                    << path;
        }
        if (entry.contains("GPSLatitude") && entry["GPSLatitude"].is_number() && record->m_hasGPS) {
            EXPECT_EQ(value("latitude", context),
                      lumo::formatString("%.5f", entry["GPSLatitude"].get<double>()))
                << path;
            EXPECT_EQ(value("longitude", context),
                      lumo::formatString("%.5f", entry["GPSLongitude"].get<double>()))
                << path;
        }
        if (entry.contains("FocalLength") && entry["FocalLength"].is_number())
            EXPECT_EQ(value("focallength", context),
                      lumo::formatString("%.0f", entry["FocalLength"].get<double>()))
                << path;
        if (entry.contains("FocalLengthIn35mmFormat") && entry["FocalLengthIn35mmFormat"].is_number())
            EXPECT_EQ(value("lens35", context), std::to_string(entry["FocalLengthIn35mmFormat"].get<long>()))
                << path;
        if (entry.contains("Flash") && entry["Flash"].is_number())
            EXPECT_NE(value("flash", context), "") << path;
        ++compared;
        NRFCloseImage(&record);
    }
    NRFTerminate();
    EXPECT_GT(compared, 5);
}

// A template mixing camera, date, metadata and file variables over a real file, as rename would
// expand it, against exiftool's reading of the same file.
TEST(VariableValues, MixedTemplateOnARealFileMatchesExiftool) {
    const std::string path = corpusFolder().empty() ? "" : corpusFolder() + "/exiftool/ExifTool.jpg";
    if (path.empty())
        GTEST_SKIP() << "no corpus";
    const auto json = exiftoolJson({"-n", "-EXIF:Model", "-EXIF:DateTimeOriginal", "-IPTC:City",
                                    "-EXIF:FNumber", "-EXIF:ShutterSpeedValue", path});
    if (!json)
        GTEST_SKIP() << "exiftool is not installed";
    const auto& e = json->at(0);
    for (const char* key : {"Model", "DateTimeOriginal", "City", "FNumber", "ShutterSpeedValue"})
        ASSERT_TRUE(e.contains(key)) << key;
    const std::string taken = e["DateTimeOriginal"].get<std::string>();
    const std::string expected =
        e["Model"].get<std::string>() + "_" + taken.substr(0, 4) + taken.substr(5, 2) + taken.substr(8, 2) +
        "_" + e["City"].get<std::string>() + "_f" + lumo::formatString("%.1f", e["FNumber"].get<double>()) +
        "_" + FormatShutterSpeed(e["ShutterSpeedValue"].get<double>(), false) + "_ExifTool";
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    ASSERT_EQ(IPTCMetadataInitialize(), kNRFErrNone);
    NRFImageInfoRef image;
    ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &image), kNRFErrNone);
    ASSERT_EQ(NRFGetImageInfo(image.get()), kNRFErrNone);
    IPTCRec record;
    ASSERT_EQ(NRFLoadIPTC(image.get(), &record), kNRFErrNone);
    VariableContext context;
    context.image = image.get();
    context.record = &record;
    const VariableExpansion result =
        ExpandVariables("{modl}_{dats}_{city}_f{f}_{ss}_{fbas}", context, kVariableFileName);
    EXPECT_TRUE(result.expanded);
    std::string safe = expected;
    for (char& c : safe)
        c = c == '/' ? '-' : c; // the shutter's "1/155" in a file name
    EXPECT_EQ(result.text, safe);
    NRFCloseImage(&image);
    NRFTerminate();
}

} // namespace
