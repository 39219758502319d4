// TIFF pixel decoding and encoding through the TIFF library: files written with the library itself (so
// that every layout is exactly what the test states), faults built byte by byte, and the corpus.

#include "NRF/NRFDecode.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/TiffBuilder.h"

#include <tiffio.h>

#include <filesystem>
#include <functional>
#include <map>
#include <vector>

namespace lumo::test {
namespace {

using Pixels = std::vector<std::uint8_t>;

// A TIFF written by the library: the basic fields, then `body` sets more and writes the data.
std::string writeTiff(const TempDir& dir, std::uint32_t width, std::uint32_t height, std::uint16_t bits,
                      std::uint16_t samples, std::uint16_t photometric,
                      const std::function<void(TIFF*)>& body) {
    const std::string path = dir.file("made.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    if (!tif)
        return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    body(tif);
    TIFFClose(tif);
    return readWholeFile(path);
}

// The same with `data` (contiguous rows) in strips of `rowsPerStrip` rows, after the fields `extra` sets.
std::string stripTiff(const TempDir& dir, std::uint32_t width, std::uint32_t height, std::uint16_t bits,
                      std::uint16_t samples, std::uint16_t photometric, const std::string& data,
                      std::uint32_t rowsPerStrip = 1, const std::function<void(TIFF*)>& extra = {}) {
    return writeTiff(dir, width, height, bits, samples, photometric, [&](TIFF* tif) {
        if (extra)
            extra(tif);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
        const std::size_t stripBytes = data.size() / height * rowsPerStrip;
        for (std::size_t at = 0, strip = 0; at < data.size(); at += stripBytes, ++strip) {
            std::string part = data.substr(at, stripBytes);
            ASSERT_GE(TIFFWriteEncodedStrip(tif, static_cast<std::uint32_t>(strip), part.data(),
                                            static_cast<tmsize_t>(part.size())),
                      0);
        }
    });
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

NRFErr decode(const std::string& file, NRFBitmapBase& out, std::uint32_t size = 0,
              std::uint64_t maxPixels = kNRFDecodeMaxPixels) {
    return decodeBytes(&NRFDecodeTIFF, file, out, {size, maxPixels});
}

void lzw(TIFF* tif) {
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
}

void expectNear(const Pixels& actual, const Pixels& expected, int tolerance = 1) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "at byte " << i;
}

// The samples vips gives for a TIFF, row after row, in 8 bits (16-bit samples shifted down, alpha laid
// over white): empty when vips is not there or fails on the file.
std::string vipsSamples(const TempDir& dir, const std::string& path) {
    const auto bands = runProcess("vipsheader", {"-f", "bands", path});
    const std::string cast = dir.file("vips.v"), raw = dir.file("vips.raw");
    if (bands.exitCode != 0 || runProcess("vips", {"cast", path, cast, "uchar", "--shift"}).exitCode != 0)
        return {};
    const bool alpha = std::stoi(bands.out) % 2 == 0; // grey + alpha or RGB + alpha
    const auto made = alpha ? runProcess("vips", {"flatten", cast, raw, "--background", "255"})
                            : runProcess("vips", {"copy", cast, raw});
    return made.exitCode == 0 ? readWholeFile(raw) : std::string();
}

class TIFFDecodeTest : public NRFEngineTest {};

TEST_F(TIFFDecodeTest, ColourModelsGiveTheirPixels) {
    std::string deep; // the library keeps the high byte's value
    for (int v : {0, 255 * 257, 128 * 257, 65535, 10 * 257, 200 * 257})
        deep += le(static_cast<std::uint64_t>(v), 2);
    std::vector<std::uint16_t> r(16), g(16), b(16);
    r[1] = g[2] = 255 * 257;
    b[3] = 128 * 257;
    r[3] = 10 * 257;
    const struct {
        const char* name;
        std::string file;
        Pixels expected;
    } cases[] = {
        {"16-bit RGB", stripTiff(m_dir, 2, 1, 16, 3, PHOTOMETRIC_RGB, deep), {0, 255, 128, 255, 10, 200}},
        {"4-bit palette gives RGB",
         stripTiff(m_dir, 4, 1, 4, 1, PHOTOMETRIC_PALETTE, bytes({0x01, 0x23}), 1,
                   [&](TIFF* tif) { TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data()); }),
         {0, 0, 0, 255, 0, 0, 0, 255, 0, 10, 0, 128}},
        {"CMYK is turned into RGB",
         stripTiff(m_dir, 3, 1, 8, 4, PHOTOMETRIC_SEPARATED, bytes({0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255}),
                   1, [](TIFF* tif) { TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK); }),
         {255, 255, 255, 0, 255, 255, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NRFBitmapBase out;
        ASSERT_EQ(decode(c.file, out), 0u);
        EXPECT_EQ(out.Channels(), 3);
        EXPECT_EQ(samplesOf(out), c.expected);
    }
}

// A 20 x 19 RGB pattern, written tiled (16 x 16 tiles), in separate planes, and in strips of 3 rows
// with LZW; every layout decodes to the same pixels, at full size and reduced (the rows reach the row
// reducer whole and in order), and is refused with 7 when it holds more pixels than allowed.
TEST_F(TIFFDecodeTest, LayoutsAndReduction) {
    const std::uint32_t w = 20, h = 19;
    Pixels expected;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            for (std::uint32_t c = 0; c < 3; ++c)
                expected.push_back(static_cast<std::uint8_t>((x * 12 + y * 7 + c * 60) % 256));
    const std::string contiguous(expected.begin(), expected.end());

    std::map<std::string, std::string> files;
    files["tiled"] = writeTiff(m_dir, w, h, 8, 3, PHOTOMETRIC_RGB, [&](TIFF* tif) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        for (std::uint32_t ty = 0; ty < h; ty += 16)
            for (std::uint32_t tx = 0; tx < w; tx += 16) {
                std::string tile(16 * 16 * 3, '\0');
                const std::uint32_t n = std::min(w - tx, 16u) * 3;
                for (std::uint32_t y = ty; y < std::min(h, ty + 16); ++y)
                    tile.replace((y - ty) * 48, n, contiguous, (y * w + tx) * 3, n);
                ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
            }
    });
    files["separate"] = writeTiff(m_dir, w, h, 8, 3, PHOTOMETRIC_RGB, [&](TIFF* tif) {
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
        for (std::uint16_t c = 0; c < 3; ++c) {
            std::string plane;
            for (std::size_t i = c; i < contiguous.size(); i += 3)
                plane.push_back(contiguous[i]);
            ASSERT_GE(TIFFWriteEncodedStrip(tif, c, plane.data(), static_cast<tmsize_t>(plane.size())), 0);
        }
    });
    files["lzw strips"] = stripTiff(m_dir, w, h, 8, 3, PHOTOMETRIC_RGB, contiguous, 3, [](TIFF* tif) {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    });

    // Reduced by 2 (wanted long side 10): 10 x 10, the last box row holding one source row.
    NRFBitmapBase reduced;
    NRFRowReducer reducer;
    ASSERT_EQ(reducer.Start(w, h, 3, 2, reduced), 0u);
    for (std::uint32_t y = 0; y < h; ++y)
        reducer.AddRow(expected.data() + std::size_t{y} * w * 3);
    ASSERT_TRUE(reducer.Finish());

    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        NRFBitmapBase out;
        ASSERT_EQ(decode(file, out), 0u);
        ASSERT_EQ(out.Width(), w);
        ASSERT_EQ(out.Height(), h);
        EXPECT_EQ(samplesOf(out), expected);
        ASSERT_EQ(decode(file, out, 10), 0u);
        ASSERT_EQ(out.Width(), 10u);
        ASSERT_EQ(out.Height(), 10u);
        EXPECT_EQ(samplesOf(out), samplesOf(reduced));
        EXPECT_EQ(decode(file, out, 0, w * h - 1), 7u);
        EXPECT_TRUE(out.Empty());
    }
}

// A large LZW grey image in strips of 7 rows and in one strip: black-is-zero is read a row at a time
// (the tall strip decoded once); white-is-zero takes the library's RGBA path, which turns it round in
// bands smaller than the image (the tall strip decoded again for each band). Every row arrives once
// and in order.
TEST_F(TIFFDecodeTest, LargeImagesInStripsAndBands) {
    const std::uint32_t w = 4096, h = 600;
    std::string data(std::size_t{w} * h, '\0');
    Pixels direct(data.size()), inverted(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        direct[i] = static_cast<std::uint8_t>((i % w / 16 + i / w * 3) % 256);
        data[i] = static_cast<char>(direct[i]);
        inverted[i] = static_cast<std::uint8_t>(255 - direct[i]);
    }
    for (std::uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISWHITE})
        for (std::uint32_t rowsPerStrip : {7u, h}) {
            SCOPED_TRACE(std::to_string(photometric) + ", rows per strip " + std::to_string(rowsPerStrip));
            NRFBitmapBase out;
            ASSERT_EQ(decode(stripTiff(m_dir, w, h, 8, 1, photometric, data, rowsPerStrip, lzw), out), 0u);
            ASSERT_EQ(out.Height(), h);
            EXPECT_TRUE(samplesOf(out) == (photometric == PHOTOMETRIC_MINISBLACK ? direct : inverted));
        }
}

TEST_F(TIFFDecodeTest, AlphaIsLaidOverWhite) {
    NRFBitmapBase out;
    // Opaque, half transparent, fully transparent.
    for (std::uint16_t kind : {EXTRASAMPLE_UNASSALPHA, EXTRASAMPLE_ASSOCALPHA}) {
        SCOPED_TRACE(kind == EXTRASAMPLE_UNASSALPHA ? "unassociated" : "associated");
        const bool assoc = kind == EXTRASAMPLE_ASSOCALPHA;
        const auto extra = [&](TIFF* tif) { TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind); };
        const std::string rgba = assoc ? bytes({200, 100, 0, 255, 100, 50, 0, 128, 0, 0, 0, 0})
                                       : bytes({200, 100, 0, 255, 200, 100, 0, 128, 200, 100, 0, 0});
        ASSERT_EQ(decode(stripTiff(m_dir, 3, 1, 8, 4, PHOTOMETRIC_RGB, rgba, 1, extra), out), 0u);
        EXPECT_EQ(out.Channels(), 3);
        // 200 at alpha 128 over white: (200 * 128 + 255 * 127) / 255 = 227.
        expectNear(samplesOf(out), {200, 100, 0, 227, 177, 127, 255, 255, 255});

        const std::string greyAlpha =
            assoc ? bytes({200, 255, 100, 128, 0, 0}) : bytes({200, 255, 200, 128, 200, 0});
        ASSERT_EQ(decode(stripTiff(m_dir, 3, 1, 8, 2, PHOTOMETRIC_MINISBLACK, greyAlpha, 1, extra), out), 0u);
        EXPECT_EQ(out.Channels(), 1);
        expectNear(samplesOf(out), {200, 227, 255});
    }
}

// Every Orientation value leaves the rows and columns as stored: the caller turns the bitmap. (A tiled
// image takes the library's RGBA path, which would otherwise turn it.)
TEST_F(TIFFDecodeTest, OrientationLeavesTheStoredOrder) {
    std::string tile(16 * 16, '\0');
    tile.replace(0, 3, bytes({1, 2, 3}));
    tile.replace(16, 3, bytes({4, 5, 6}));
    for (std::uint16_t orientation = 1; orientation <= 9; ++orientation) {
        SCOPED_TRACE(orientation);
        TiffBuilder b;
        b.ifd().addLong(256, 3).addLong(257, 2).addShort(258, 8).addShort(259, 1).addShort(262, 1);
        b.ifd().addShort(274, orientation).addShort(277, 1).addLong(322, 16).addLong(323, 16);
        b.ifd().addBlob(324, 325, tile);
        NRFBitmapBase out;
        LogWatch log;
        ASSERT_EQ(decode(b.build(), out), 0u) << log.text();
        ASSERT_EQ(out.Width(), 3u);
        ASSERT_EQ(out.Height(), 2u);
        EXPECT_EQ(samplesOf(out), (Pixels{1, 2, 3, 4, 5, 6}));
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
    EXPECT_EQ(samplesOf(out), (Pixels{10, 20, 30, 40}));
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
        std::string data;
        for (int i = 0; i < 64 * 64; ++i)
            data.push_back(static_cast<char>((i * 37) % 251));
        const std::string made = stripTiff(m_dir, 64, 64, 8, 1, PHOTOMETRIC_MINISBLACK, data, 64, lzw);
        // The library puts the strip (some 1.6 KiB) right after the header; it starts with the clear code.
        ASSERT_GT(made.size(), 8u + 1200u);
        ASSERT_EQ(static_cast<std::uint8_t>(made[8]), 0x80);
        TiffBuilder b;
        b.ifd().addLong(256, 64).addLong(257, 64).addShort(258, 8).addShort(259, 5).addShort(262, 1);
        b.ifd().addLong(278, 64).addBlob(273, 279, made.substr(8, 500));
        EXPECT_EQ(decode(b.build(), out), 9u);
        EXPECT_TRUE(out.Empty());
    }
    {
        SCOPED_TRACE("floating-point samples are a variant the decoder does not handle");
        LogWatch log;
        const std::string file =
            stripTiff(m_dir, 2, 1, 32, 1, PHOTOMETRIC_MINISBLACK, std::string(8, '\0'), 1,
                      [](TIFF* tif) { TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP); });
        EXPECT_EQ(decode(file, out), 3u);
        EXPECT_TRUE(log.has("NRFDecodeTIFF: ")) << log.text();
    }
    {
        SCOPED_TRACE("no TIFF at all, and an empty source");
        EXPECT_EQ(decode("not a TIFF file", out), 9u);
        EXPECT_EQ(decode("", out), 9u);
    }
}

TEST_F(TIFFDecodeTest, EncodeRoundTrip) {
    const auto pattern = [](std::uint32_t width, std::uint32_t height, int channels) {
        NRFBitmapBase bitmap;
        EXPECT_TRUE(bitmap.Allocate(width, height, channels));
        for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
            for (std::size_t i = 0; i < bitmap.Stride(); ++i)
                bitmap.Row(y)[i] = static_cast<std::uint8_t>((i * 7 + y * 3) % 256);
        return bitmap;
    };
    const NRFBitmapBase rgb = pattern(300, 250, 3); // several strips of about 64 KiB
    NRFSaveOptions options;
    options.iccProfile = iccProfileNamed("Lumograph Test RGB");
    options.dpi = 300;

    std::string file;
    ASSERT_EQ(NRFEncodeTIFF(rgb, options, file), 0u);
    NRFBitmapBase back;
    ASSERT_EQ(decode(file, back), 0u);
    EXPECT_EQ(back.Channels(), 3);
    EXPECT_EQ(samplesOf(back), samplesOf(rgb));

    // Grey stays one channel; without a profile in the options none is written.
    const NRFBitmapBase grey = pattern(5, 3, 1);
    std::string greyFile;
    ASSERT_EQ(NRFEncodeTIFF(grey, NRFSaveOptions{}, greyFile), 0u);
    ASSERT_EQ(decode(greyFile, back), 0u);
    EXPECT_EQ(back.Channels(), 1);
    EXPECT_EQ(samplesOf(back), samplesOf(grey));

    std::string refused;
    EXPECT_EQ(NRFEncodeTIFF(NRFBitmapBase{}, options, refused), 9u);

    const std::string path = m_dir.file("saved.tif"), greyPath = m_dir.file("grey.tif");
    writeWholeFile(path, file);
    writeWholeFile(greyPath, greyFile);
    const auto tool = exiftoolJson({"-n", "-XResolution", "-ResolutionUnit", "-ProfileDescription",
                                    "-Compression", "-Orientation", path, greyPath});
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(tool->size(), 2u);
    const auto& info = (*tool)[0];
    EXPECT_EQ(info.value("XResolution", 0.0), 300.0);
    EXPECT_EQ(info.value("ResolutionUnit", 0), 2);
    EXPECT_EQ(info.value("Compression", 0), 5);
    EXPECT_EQ(info.value("Orientation", 0), 1);
    EXPECT_EQ(info.value("ProfileDescription", std::string()), "Lumograph Test RGB");
    EXPECT_FALSE((*tool)[1].contains("ProfileDescription"));
}

// Every TIFF of the corpus decodes, or fails with 3, 7 or 9 and an empty bitmap; a decoded image has
// the size exiftool gives for the same directory (the first of the first 16 not marked as a reduced
// copy, else IFD0), the pixels vips reads, and the reduced size when a thumbnail is wanted.
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
        for (int i = 0; i < 16 && info.contains("IFD" + std::to_string(i) + ":ImageWidth"); ++i)
            if (!(info.value("IFD" + std::to_string(i) + ":SubfileType", 0) & 1)) {
                chosen = "IFD" + std::to_string(i);
                break;
            }
        EXPECT_EQ(out.Width(), info.value(chosen + ":ImageWidth", 0u));
        EXPECT_EQ(out.Height(), info.value(chosen + ":ImageHeight", 0u));
        // Within rounding of 16-bit samples; the same size means the same channel count too.
        if (const std::string reference = vipsSamples(m_dir, path); !reference.empty()) {
            ++compared;
            const Pixels ours = samplesOf(out);
            ASSERT_EQ(reference.size(), ours.size());
            int worst = 0;
            for (std::size_t i = 0; i < ours.size(); ++i)
                worst =
                    std::max(worst, std::abs(int{ours[i]} - int{static_cast<std::uint8_t>(reference[i])}));
            EXPECT_LE(worst, 1);
        }
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
