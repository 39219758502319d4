#include "NRF/EXIFMakerNotes.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>

// ---- NRFBoundedByteSource

NRFBoundedByteSource::NRFBoundedByteSource(NRFByteSource& whole, std::uint64_t start, std::uint64_t end)
    : m_whole(whole), m_start(std::min(start, whole.Size())), m_end(std::clamp(end, m_start, whole.Size())) {}

bool NRFBoundedByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset < m_start || offset > m_end || size > m_end - offset)
        return false;
    return m_whole.ReadAt(offset, buffer, size);
}

// ---- EXIFMakerNote

EXIFMakerNote::EXIFMakerNote(NRFImageInfoRec& record_, NRFByteSource& file_, std::uint64_t pos_,
                             std::uint64_t length_, std::uint64_t tiffBase_, bool tiffBigEndian_,
                             NRFFileType fileType_)
    : record(record_), file(file_), note(file_, pos_, pos_ + length_), pos(note.Start()),
      length(note.End() - note.Start()), tiffBase(tiffBase_), tiffBigEndian(tiffBigEndian_),
      fileType(fileType_) {}

NRFErr EXIFMakerNote::ReadIFD(NRFBasicTIFF& tiff, std::uint32_t offset, std::vector<NRFTIFFEntry>& entries) {
    entries.clear();
    const std::uint64_t at = tiff.Base() + offset;
    if (std::find(m_visited.begin(), m_visited.end(), at) != m_visited.end())
        return 9;
    m_visited.push_back(at);
    if (const NRFErr err = tiff.ReadIFD(offset, 1000, entries); err != 0)
        return err;
    std::erase_if(entries, [&](const NRFTIFFEntry& e) {
        return NRFTIFFTypeSize(e.type) == 0 || e.valuePos < note.Start() || tiff.IsMalformed(e);
    });
    return 0;
}

bool EXIFMakerNote::StartsWith(std::uint64_t at, const char* prefix, std::size_t size) {
    std::string bytes(size, '\0');
    return note.ReadAt(at, bytes.data(), size) && std::memcmp(bytes.data(), prefix, size) == 0;
}

bool EXIFMakerNote::TakeJPEG(std::uint64_t jpegPos, std::uint64_t jpegLength, EXIFEmbeddedKind kind) {
    NRFEmbeddedImageLoc loc;
    if (!NRFLocateJPEG(file, jpegPos, jpegLength, loc))
        return false;
    const std::uint32_t width = loc.width, height = loc.height;
    switch (kind) {
    case EXIFEmbeddedKind::Thumbnail:
        if (record.m_thumbnail.present())
            return false;
        record.m_thumbnail = loc;
        record.m_thumbnailIsJPEG = true;
        return true;
    case EXIFEmbeddedKind::Preview:
        if (record.m_preview.present() && width < record.m_preview.width && height < record.m_preview.height)
            return false;
        record.m_preview = loc;
        record.m_previewIsJPEG = true;
        record.m_previewOffsetIsAbsolute = true;
        return true;
    case EXIFEmbeddedKind::FuzzyPreview:
        record.m_fuzzyPreview = loc;
        return true;
    }
    return false;
}

bool EXIFMakerNote::Text(NRFBasicTIFF& tiff, const NRFTIFFEntry& entry, std::string& out,
                         std::size_t maxLength) {
    if (entry.type != kTIFFAscii && entry.type != kTIFFUndefined && entry.type != kTIFFByte)
        return false;
    if (!tiff.ValueBytes(entry, out, maxLength))
        return false;
    out.resize(std::strlen(out.c_str()));
    out = EXIFCleanText(out);
    return !out.empty();
}

// ---- Dispatch

namespace {

bool makeIs(const std::string& make, std::string_view prefix) {
    return make.size() >= prefix.size() &&
           lumo::iequals(std::string_view(make).substr(0, prefix.size()), prefix);
}

using MakerParser = void (*)(EXIFMakerNote&);

struct Maker {
    const char* makePrefix;
    MakerParser parse;
    const char* name; // for the log
};

const Maker kMakers[] = {
    {"Canon", &EXIFParseCanonMakerNote, "GetCanonMakerNote"},
    {"NIKON", &EXIFParseNikonMakerNote, "GetNikonMakerNote"},
    {"OLYMPUS", &EXIFParseOlympusMakerNote, "GetOlympusMakerNote"},
    {"OM Digital", &EXIFParseOlympusMakerNote, "GetOlympusMakerNote"},
    {"SAMSUNG", &EXIFParseSamsungMakerNote, "GetSamsungMakerNote"},
    {"Leica", &EXIFParseLeicaMakerNote, "GetLeicaMakerNote"},
    {"PENTAX", &EXIFParsePentaxMakerNote, "GetPentaxMakerNote"},
    {"RICOH IMAGING", &EXIFParsePentaxMakerNote, "GetPentaxMakerNote"},
    {"Asahi", &EXIFParsePentaxMakerNote, "GetPentaxMakerNote"},
    {"SIGMA", &EXIFParseSigmaMakerNote, "GetSigmaMakerNote"},
    {"SONY", &EXIFParseSonyMakerNote, "GetSonyMakerNote"},
    {"FUJIFILM", &EXIFParseFujifilmMakerNote, "GetFujifilmMakerNote"},
    {"Leaf", &EXIFParseLeafCatalogue, "GetLeafData"},
};

void run(MakerParser parse, const char* name, NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos,
         std::uint64_t length, std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType) {
    // A note that does not lie inside the file is not read at all.
    if (length == 0 || pos >= file.Size() || length > file.Size() - pos)
        return;
    try {
        EXIFMakerNote note(record, file, pos, length, tiffBase, tiffBigEndian, fileType);
        parse(note);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in %s() %s", name, e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in %s()", name);
    }
}

} // namespace

void EXIFParseMakerNote(NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos, std::uint64_t length,
                        std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType) {
    for (const Maker& maker : kMakers)
        if (makeIs(record.m_make, maker.makePrefix)) {
            run(maker.parse, maker.name, record, file, pos, length, tiffBase, tiffBigEndian, fileType);
            return;
        }
}

void EXIFParseLeafData(NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos, std::uint64_t length,
                       std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType) {
    run(&EXIFParseLeafCatalogue, "GetLeafData", record, file, pos, length, tiffBase, tiffBigEndian, fileType);
}
