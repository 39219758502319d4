// TIFF pixel decoding and encoding through the TIFF library: files written with the library itself (so
// that every layout is exactly what the test states), faults built byte by byte, and the corpus.

#include "NRF/NRFDecode.h"
#include "NRF/NRFTestSupport.h"
#include "support/TiffBuilder.h"

#include <lcms2.h>
#include <tiffio.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

namespace lumo::test {
namespace {

using Pixels = std::vector<std::uint8_t>;

// A TIFF written by the library into a file of the folder: `body` sets the fields and writes the data.
std::string writeTiff(const TempDir& dir, const std::function<void(TIFF*)>& body) {
    const std::string path = dir.file("made.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    if (!tif)
        return {};
    body(tif);
    TIFFClose(tif);
    return readWholeFile(path);
}

void setBasics(TIFF* tif, std::uint32_t width, std::uint32_t height, std::uint16_t bits,
               std::uint16_t samples, std::uint16_t photometric) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
}

// Writes contiguous rows of `bytesPerRow` bytes, `rowsPerStrip` to a strip.
void writeStrips(TIFF* tif, const std::string& data, std::size_t bytesPerRow, std::uint32_t rowsPerStrip) {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    const std::size_t stripBytes = bytesPerRow * rowsPerStrip;
    for (std::size_t at = 0, strip = 0; at < data.size(); at += stripBytes, ++strip) {
        std::string part = data.substr(at, stripBytes);
        ASSERT_GE(TIFFWriteEncodedStrip(tif, static_cast<std::uint32_t>(strip), part.data(),
                                        static_cast<tmsize_t>(part.size())),
                  0);
    }
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

std::string le16(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += le(static_cast<std::uint64_t>(v), 2);
    return s;
}

NRFErr decode(const std::string& file, NRFBitmapBase& out, std::uint32_t size = 0,
              std::uint64_t maxPixels = kNRFDecodeMaxPixels) {
    return lumo::test::decodeBytes(&NRFDecodeTIFF, file, out, {size, maxPixels});
}

void expectNear(const Pixels& actual, const Pixels& expected, int tolerance = 1) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "at byte " << i;
}

// The pixels vips gives for a TIFF as an 8-bit PGM or PPM (alpha laid over white, 16-bit samples
// shifted down): false when vips is not there or the output cannot be read.
bool vipsPixels(const TempDir& dir, const std::string& path, NRFBitmapBase& out) {
    const auto header = runProcess("vipsheader", {"-f", "bands", path});
    if (header.exitCode != 0)
        return false;
    const int bands = std::stoi(header.out);
    const std::string cast = dir.file("vips.v"), pnm = dir.file("vips.pnm");
    if (runProcess("vips", {"cast", path, cast, "uchar", "--shift"}).exitCode != 0)
        return false;
    const bool alpha = bands == 2 || bands == 4;
    if (runProcess("vips", alpha ? std::vector<std::string>{"flatten", cast, pnm, "--background", "255"}
                                 : std::vector<std::string>{"copy", cast, pnm})
            .exitCode != 0)
        return false;
    const std::string bytesRead = readWholeFile(pnm);
    // "P5" or "P6", comment lines, width, height, maxval, one whitespace byte, pixels.
    std::size_t at = 2;
    std::vector<std::uint32_t> numbers;
    while (numbers.size() < 3 && at < bytesRead.size()) {
        if (bytesRead[at] == '#') {
            at = bytesRead.find('\n', at);
        } else if (std::isdigit(static_cast<unsigned char>(bytesRead[at]))) {
            std::size_t used = 0;
            numbers.push_back(static_cast<std::uint32_t>(std::stoul(bytesRead.substr(at, 12), &used)));
            at += used;
            continue;
        }
        if (at == std::string::npos)
            return false;
        ++at;
    }
    const int channels = bytesRead.compare(0, 2, "P6") == 0 ? 3 : 1;
    if (numbers.size() != 3 || numbers[2] != 255 || !out.Allocate(numbers[0], numbers[1], channels))
        return false;
    ++at;
    if (bytesRead.size() - at < out.Stride() * out.Height())
        return false;
    for (std::uint32_t y = 0; y < out.Height(); ++y)
        std::memcpy(out.Row(y), bytesRead.data() + at + y * out.Stride(), out.Stride());
    return true;
}

class TIFFDecodeTest : public NRFEngineTest {};

TEST_F(TIFFDecodeTest, ColourModelsGiveTheirPixels) {
    NRFBitmapBase out;
    {
        SCOPED_TRACE("16-bit RGB: the library keeps the high byte's value");
        const std::string file = writeTiff(m_dir, [](TIFF* tif) {
            setBasics(tif, 2, 1, 16, 3, PHOTOMETRIC_RGB);
            writeStrips(tif, le16({0, 255 * 257, 128 * 257, 65535, 10 * 257, 200 * 257}), 12, 1);
        });
        ASSERT_EQ(decode(file, out), 0u);
        EXPECT_EQ(out.Channels(), 3);
        EXPECT_EQ(lumo::test::samplesOf(out), (Pixels{0, 255, 128, 255, 10, 200}));
    }
    {
        SCOPED_TRACE("8-bit grey gives one channel; white-is-zero is turned round");
        const std::string data = bytes({0, 50, 100, 150, 200, 255});
        for (std::uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISWHITE}) {
            const std::string file = writeTiff(m_dir, [&](TIFF* tif) {
                setBasics(tif, 3, 2, 8, 1, photometric);
                writeStrips(tif, data, 3, 2);
            });
            ASSERT_EQ(decode(file, out), 0u);
            EXPECT_EQ(out.Channels(), 1);
            EXPECT_EQ(out.Width(), 3u);
            EXPECT_EQ(out.Height(), 2u);
            Pixels expected(data.begin(), data.end());
            if (photometric == PHOTOMETRIC_MINISWHITE)
                for (auto& v : expected)
                    v = static_cast<std::uint8_t>(255 - v);
            EXPECT_EQ(lumo::test::samplesOf(out), expected);
        }
    }
    {
        SCOPED_TRACE("4-bit palette gives RGB");
        const std::string file = writeTiff(m_dir, [](TIFF* tif) {
            setBasics(tif, 4, 1, 4, 1, PHOTOMETRIC_PALETTE);
            std::vector<std::uint16_t> r(16, 0), g(16, 0), b(16, 0);
            r[1] = 255 * 257;
            g[2] = 255 * 257;
            b[3] = 128 * 257;
            r[3] = 10 * 257;
            TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
            writeStrips(tif, bytes({0x01, 0x23}), 2, 1);
        });
        ASSERT_EQ(decode(file, out), 0u);
        EXPECT_EQ(out.Channels(), 3);
        EXPECT_EQ(lumo::test::samplesOf(out), (Pixels{0, 0, 0, 255, 0, 0, 0, 255, 0, 10, 0, 128}));
    }
    {
        SCOPED_TRACE("CMYK is turned into RGB");
        const std::string file = writeTiff(m_dir, [](TIFF* tif) {
            setBasics(tif, 3, 1, 8, 4, PHOTOMETRIC_SEPARATED);
            TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
            writeStrips(tif, bytes({0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255}), 12, 1);
        });
        ASSERT_EQ(decode(file, out), 0u);
        EXPECT_EQ(lumo::test::samplesOf(out), (Pixels{255, 255, 255, 0, 255, 255, 0, 0, 0}));
    }
}

// A 20 x 19 RGB pattern, written tiled (16 x 16 tiles), in separate planes, and in strips of 3 rows
// with LZW; every layout decodes to the same pixels, at full size and reduced.
TEST_F(TIFFDecodeTest, LayoutsAndReduction) {
    const std::uint32_t w = 20, h = 19;
    Pixels expected;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            for (std::uint32_t c = 0; c < 3; ++c)
                expected.push_back(static_cast<std::uint8_t>((x * 12 + y * 7 + c * 60) % 256));
    const std::string contiguous(expected.begin(), expected.end());

    std::map<std::string, std::string> files;
    files["tiled"] = writeTiff(m_dir, [&](TIFF* tif) {
        setBasics(tif, w, h, 8, 3, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        for (std::uint32_t ty = 0; ty < h; ty += 16)
            for (std::uint32_t tx = 0; tx < w; tx += 16) {
                std::string tile(16 * 16 * 3, '\0');
                for (std::uint32_t y = ty; y < std::min(h, ty + 16); ++y)
                    for (std::uint32_t x = tx; x < std::min(w, tx + 16); ++x)
                        for (int c = 0; c < 3; ++c)
                            tile[((y - ty) * 16 + (x - tx)) * 3 + c] = contiguous[(y * w + x) * 3 + c];
                ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
            }
    });
    files["separate"] = writeTiff(m_dir, [&](TIFF* tif) {
        setBasics(tif, w, h, 8, 3, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
        for (std::uint16_t c = 0; c < 3; ++c) {
            std::string plane;
            for (std::size_t i = c; i < contiguous.size(); i += 3)
                plane.push_back(contiguous[i]);
            ASSERT_GE(TIFFWriteEncodedStrip(tif, c, plane.data(), static_cast<tmsize_t>(plane.size())), 0);
        }
    });
    files["lzw strips"] = writeTiff(m_dir, [&](TIFF* tif) {
        setBasics(tif, w, h, 8, 3, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        writeStrips(tif, contiguous, w * 3, 3);
    });

    // Reduced by 2 (wanted long side 10): 10 x 10, the last box row holding one source row.
    Pixels reduced;
    for (std::uint32_t oy = 0; oy < 10; ++oy)
        for (std::uint32_t ox = 0; ox < 10; ++ox)
            for (std::uint32_t c = 0; c < 3; ++c) {
                std::uint32_t sum = 0, n = 0;
                for (std::uint32_t y = oy * 2; y < std::min(h, oy * 2 + 2); ++y)
                    for (std::uint32_t x = ox * 2; x < ox * 2 + 2; ++x, ++n)
                        sum += expected[(y * w + x) * 3 + c];
                reduced.push_back(static_cast<std::uint8_t>((sum + n / 2) / n));
            }

    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        NRFBitmapBase out;
        ASSERT_EQ(decode(file, out), 0u);
        ASSERT_EQ(out.Width(), w);
        ASSERT_EQ(out.Height(), h);
        EXPECT_EQ(lumo::test::samplesOf(out), expected);
        ASSERT_EQ(decode(file, out, 10), 0u);
        ASSERT_EQ(out.Width(), 10u);
        ASSERT_EQ(out.Height(), 10u);
        EXPECT_EQ(lumo::test::samplesOf(out), reduced);
        EXPECT_EQ(decode(file, out, 0, w * h - 1), 7u);
        EXPECT_TRUE(out.Empty());
    }
}

// An image whose RGBA rows do not fit one band: strips of 7 rows, and one LZW strip taller than a
// band (decoded again for each band), both give every row once and in order.
TEST_F(TIFFDecodeTest, ImagesLargerThanOneBand) {
    const std::uint32_t w = 4096, h = 600;
    std::string data(std::size_t{w} * h, '\0');
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            data[std::size_t{y} * w + x] = static_cast<char>((x / 16 + y * 3) % 256);
    for (std::uint32_t rowsPerStrip : {7u, h}) {
        SCOPED_TRACE(rowsPerStrip);
        const std::string file = writeTiff(m_dir, [&](TIFF* tif) {
            setBasics(tif, w, h, 8, 1, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
            writeStrips(tif, data, w, rowsPerStrip);
        });
        NRFBitmapBase out;
        ASSERT_EQ(decode(file, out), 0u);
        ASSERT_EQ(out.Height(), h);
        EXPECT_TRUE(lumo::test::samplesOf(out) == Pixels(data.begin(), data.end()));
    }
}

TEST_F(TIFFDecodeTest, AlphaIsLaidOverWhite) {
    NRFBitmapBase out;
    // Opaque, half transparent, fully transparent.
    for (std::uint16_t kind : {EXTRASAMPLE_UNASSALPHA, EXTRASAMPLE_ASSOCALPHA}) {
        SCOPED_TRACE(kind == EXTRASAMPLE_UNASSALPHA ? "unassociated" : "associated");
        const bool assoc = kind == EXTRASAMPLE_ASSOCALPHA;
        const std::string rgba = writeTiff(m_dir, [&](TIFF* tif) {
            setBasics(tif, 3, 1, 8, 4, PHOTOMETRIC_RGB);
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
            writeStrips(tif,
                        assoc ? bytes({200, 100, 0, 255, 100, 50, 0, 128, 0, 0, 0, 0})
                              : bytes({200, 100, 0, 255, 200, 100, 0, 128, 200, 100, 0, 0}),
                        12, 1);
        });
        ASSERT_EQ(decode(rgba, out), 0u);
        EXPECT_EQ(out.Channels(), 3);
        // 200 at alpha 128 over white: (200 * 128 + 255 * 127) / 255 = 227.
        expectNear(lumo::test::samplesOf(out), {200, 100, 0, 227, 177, 127, 255, 255, 255});

        const std::string greyAlpha = writeTiff(m_dir, [&](TIFF* tif) {
            setBasics(tif, 3, 1, 8, 2, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
            writeStrips(tif, assoc ? bytes({200, 255, 100, 128, 0, 0}) : bytes({200, 255, 200, 128, 200, 0}),
                        6, 1);
        });
        ASSERT_EQ(decode(greyAlpha, out), 0u);
        EXPECT_EQ(out.Channels(), 1);
        expectNear(lumo::test::samplesOf(out), {200, 227, 255});
    }
}

// Every Orientation value leaves the rows and columns as stored: the caller turns the bitmap.
TEST_F(TIFFDecodeTest, OrientationLeavesTheStoredOrder) {
    const std::string data = bytes({1, 2, 3, 4, 5, 6});
    for (bool tiled : {false, true})
        for (std::uint16_t orientation = 1; orientation <= 9; ++orientation) {
            SCOPED_TRACE(std::string(tiled ? "tiled, " : "strips, ") + "orientation " +
                         std::to_string(orientation));
            TiffBuilder b;
            TiffIfd& ifd = b.ifd();
            ifd.addLong(256, 3).addLong(257, 2).addShort(258, 8).addShort(259, 1).addShort(262, 1);
            ifd.addShort(274, orientation).addShort(277, 1);
            if (tiled) {
                std::string tile(16 * 16, '\0');
                tile.replace(0, 3, data.substr(0, 3));
                tile.replace(16, 3, data.substr(3, 3));
                ifd.addLong(322, 16).addLong(323, 16).addBlob(324, 325, tile);
            } else {
                ifd.addLong(278, 2).addBlob(273, 279, data);
            }
            NRFBitmapBase out;
            LogWatch log;
            ASSERT_EQ(decode(b.build(), out), 0u) << log.text();
            ASSERT_EQ(out.Width(), 3u);
            ASSERT_EQ(out.Height(), 2u);
            EXPECT_EQ(lumo::test::samplesOf(out), (Pixels{1, 2, 3, 4, 5, 6}));
        }
}

// The main image is the first directory not marked as a reduced copy.
TEST_F(TIFFDecodeTest, ChoosesTheFullSizeDirectory) {
    TiffBuilder b;
    TiffIfd& small = b.ifd();
    small.addLong(254, 1).addLong(256, 1).addLong(257, 1).addShort(258, 8).addShort(262, 1).addLong(278, 1);
    small.addBlob(273, 279, bytes({9}));
    TiffIfd& full = small.next();
    full.addLong(254, 0).addLong(256, 2).addLong(257, 2).addShort(258, 8).addShort(262, 1).addLong(278, 2);
    full.addBlob(273, 279, bytes({10, 20, 30, 40}));
    NRFBitmapBase out;
    ASSERT_EQ(decode(b.build(), out), 0u);
    EXPECT_EQ(lumo::test::samplesOf(out), (Pixels{10, 20, 30, 40}));
}

TEST_F(TIFFDecodeTest, DamagedAndUnsupportedFilesFailCleanly) {
    NRFBitmapBase out;
    {
        SCOPED_TRACE("an uncompressed strip cut short by the end of the file");
        TiffBuilder b;
        b.ifd().addLong(256, 64).addLong(257, 64).addShort(258, 8).addShort(262, 1).addLong(278, 64);
        const std::size_t blob = b.ifd().addBlob(273, 279, std::string(64 * 64, '\x80'));
        b.build();
        b.truncateTo(b.blobPosition(blob) + 100);
        LogWatch log; // the library's complaint reaches the log, not the standard error stream
        EXPECT_EQ(decode(b.build(), out), 9u);
        EXPECT_TRUE(out.Empty());
        EXPECT_TRUE(log.has("TIFF library error: ")) << log.text();
    }
    {
        SCOPED_TRACE("an LZW strip cut short");
        std::string raw;
        const std::string made = writeTiff(m_dir, [&](TIFF* tif) {
            setBasics(tif, 64, 64, 8, 1, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
            std::string data;
            for (int i = 0; i < 64 * 64; ++i)
                data.push_back(static_cast<char>((i * 37) % 251));
            writeStrips(tif, data, 64, 64);
        });
        {
            const std::string path = m_dir.file("made.tif");
            TIFF* tif = TIFFOpen(path.c_str(), "r");
            ASSERT_NE(tif, nullptr);
            raw.resize(static_cast<std::size_t>(TIFFRawStripSize(tif, 0)));
            ASSERT_GT(TIFFReadRawStrip(tif, 0, raw.data(), static_cast<tmsize_t>(raw.size())), 0);
            TIFFClose(tif);
        }
        TiffBuilder b;
        b.ifd().addLong(256, 64).addLong(257, 64).addShort(258, 8).addShort(259, 5).addShort(262, 1);
        b.ifd().addLong(278, 64).addBlob(273, 279, raw.substr(0, raw.size() / 3));
        EXPECT_EQ(decode(b.build(), out), 9u);
        EXPECT_TRUE(out.Empty());
    }
    {
        SCOPED_TRACE("floating-point samples are a variant the decoder does not handle");
        LogWatch log;
        const std::string file = writeTiff(m_dir, [](TIFF* tif) {
            setBasics(tif, 2, 1, 32, 1, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
            writeStrips(tif, std::string(8, '\0'), 8, 1);
        });
        EXPECT_EQ(decode(file, out), 3u);
        EXPECT_TRUE(log.has("NRFDecodeTIFF: ")) << log.text();
    }
    {
        SCOPED_TRACE("no TIFF at all, and an empty source");
        EXPECT_EQ(decode("not a TIFF file", out), 9u);
        EXPECT_EQ(decode("", out), 9u);
    }
}

TEST_F(TIFFDecodeTest, LibraryMessagesGoToTheLog) {
    NRFTIFFInstallLibraryHandlers();
    NRFTIFFInstallLibraryHandlers();
    LogWatch log;
    TIFFWarning("TIFFReadDirectory", "Unknown field with tag %d encountered", 50341);
    TIFFError("TIFFReadEncodedStrip", "Read error on strip %u", 7u);
    EXPECT_TRUE(log.has("TIFF library warning: TIFFReadDirectory: Unknown field with tag 50341 encountered"))
        << log.text();
    EXPECT_TRUE(log.has("TIFF library error: TIFFReadEncodedStrip: Read error on strip 7")) << log.text();
}

TEST_F(TIFFDecodeTest, EncodeRoundTrip) {
    NRFBitmapBase rgb;
    ASSERT_TRUE(rgb.Allocate(300, 250, 3)); // several strips of about 64 KiB
    for (std::uint32_t y = 0; y < rgb.Height(); ++y)
        for (std::size_t i = 0; i < rgb.Stride(); ++i)
            rgb.Row(y)[i] = static_cast<std::uint8_t>((i * 7 + y * 3) % 256);

    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    ASSERT_NE(srgb, nullptr);
    cmsUInt32Number profileSize = 0;
    ASSERT_TRUE(cmsSaveProfileToMem(srgb, nullptr, &profileSize));
    NRFSaveOptions options;
    options.iccProfile.resize(profileSize);
    ASSERT_TRUE(cmsSaveProfileToMem(srgb, options.iccProfile.data(), &profileSize));
    cmsCloseProfile(srgb);
    options.dpi = 300;

    std::string file;
    ASSERT_EQ(NRFEncodeTIFF(rgb, options, file), 0u);
    NRFBitmapBase back;
    ASSERT_EQ(decode(file, back), 0u);
    EXPECT_EQ(back.Channels(), 3);
    EXPECT_EQ(lumo::test::samplesOf(back), lumo::test::samplesOf(rgb));

    const std::string path = m_dir.file("saved.tif");
    writeWholeFile(path, file);
    const auto tool = exiftoolJson({"-n", "-XResolution", "-ResolutionUnit", "-ProfileDescription",
                                    "-Compression", "-Orientation", path});
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const auto& info = (*tool)[0];
    EXPECT_EQ(info.value("XResolution", 0.0), 300.0);
    EXPECT_EQ(info.value("ResolutionUnit", 0), 2);
    EXPECT_EQ(info.value("Compression", 0), 5);
    EXPECT_EQ(info.value("Orientation", 0), 1);
    EXPECT_FALSE(info.value("ProfileDescription", std::string()).empty()) << info.dump();

    NRFBitmapBase grey;
    ASSERT_TRUE(grey.Allocate(5, 3, 1));
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x)
            grey.Row(y)[x] = static_cast<std::uint8_t>(x * 50 + y);
    ASSERT_EQ(NRFEncodeTIFF(grey, NRFSaveOptions{}, file), 0u);
    ASSERT_EQ(decode(file, back), 0u);
    EXPECT_EQ(back.Channels(), 1);
    EXPECT_EQ(lumo::test::samplesOf(back), lumo::test::samplesOf(grey));
    writeWholeFile(path, file);
    const auto plain = exiftoolJson({"-n", "-XResolution", "-ProfileDescription", path});
    ASSERT_TRUE(plain);
    EXPECT_FALSE((*plain)[0].contains("ProfileDescription"));

    EXPECT_EQ(NRFEncodeTIFF(NRFBitmapBase{}, options, file), 9u);
}

// Every TIFF of the corpus decodes, or fails with 3 or 9, and a decoded image has the size exiftool
// gives for the same directory (the first of the first 16 not marked as a reduced copy, else IFD0).
TEST_F(TIFFDecodeTest, CorpusFiles) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".tif" || ext == ".tiff" || ext == ".TIF" || ext == ".TIFF"))
            files.push_back(entry.path().string());
    }
    ASSERT_FALSE(files.empty());
    std::vector<std::string> args = {"-n", "-a", "-G1", "-SubfileType", "-ImageWidth", "-ImageHeight"};
    args.insert(args.end(), files.begin(), files.end());
    const auto tool = exiftoolJson(args);
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::map<std::string, const nlohmann::json*> byPath;
    for (const auto& info : *tool)
        byPath[info.value("SourceFile", std::string())] = &info;

    int decoded = 0, compared = 0;
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const std::string file = readWholeFile(path);
        NRFBitmapBase out;
        const NRFErr err = decode(file, out, 0, std::uint64_t{1} << 26);
        EXPECT_TRUE(err == 0 || err == 3 || err == 7 || err == 9) << err;
        if (err != 0) {
            EXPECT_TRUE(out.Empty());
            continue;
        }
        ++decoded;
        ASSERT_TRUE(byPath.count(path));
        const auto& info = *byPath[path];
        std::string chosen = "IFD0";
        for (int i = 0; i < 16; ++i) {
            const std::string group = "IFD" + std::to_string(i);
            if (!info.contains(group + ":ImageWidth"))
                break;
            if (!(info.value(group + ":SubfileType", 0) & 1)) {
                chosen = group;
                break;
            }
        }
        EXPECT_EQ(out.Width(), info.value(chosen + ":ImageWidth", 0u));
        EXPECT_EQ(out.Height(), info.value(chosen + ":ImageHeight", 0u));
        // The pixels agree with vips' reading (within rounding of 16-bit samples).
        NRFBitmapBase reference;
        if (vipsPixels(m_dir, path, reference)) {
            ++compared;
            ASSERT_EQ(reference.Width(), out.Width());
            ASSERT_EQ(reference.Height(), out.Height());
            ASSERT_EQ(reference.Channels(), out.Channels());
            int worst = 0;
            for (std::uint32_t y = 0; y < out.Height(); ++y)
                for (std::size_t i = 0; i < out.Stride(); ++i)
                    worst = std::max(worst, std::abs(int{out.Row(y)[i]} - int{reference.Row(y)[i]}));
            EXPECT_LE(worst, 1);
        }
        // A thumbnail-sized decode gives the reduced size.
        NRFBitmapBase small;
        ASSERT_EQ(decode(file, small, 64, std::uint64_t{1} << 26), 0u);
        const std::uint32_t f = NRFReductionFactor(out.Width(), out.Height(), 64);
        EXPECT_EQ(small.Width(), (out.Width() + f - 1) / f);
        EXPECT_EQ(small.Height(), (out.Height() + f - 1) / f);
    }
    EXPECT_GE(decoded, 5);
    if (compared == 0)
        LUMO_SKIP_OR_FAIL("vips is not installed");
}

} // namespace
} // namespace lumo::test
