#include "NRF/NRFXMLImagePrefs.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/QuietXMLErrors.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>

namespace {

// Our own documents are a few hundred bytes; anything this large is not one of them.
constexpr std::size_t kMaxDocumentSize = 1024 * 1024;

// A raw whose metadata lives in a sidecar beside it (and which keeps a draft crop for its preview).
bool isRawWithSidecar(const NRFImageInfoRec& record) {
    const int index = NRFFindFileType(record.m_fileType);
    const NRFFileTypeInfo* row = index >= 0 ? NRFGetFileTypeInfo(index) : nullptr;
    return row && (row->capabilities & kNRFCapRawSidecar);
}

// Which crop groups a record's document holds: a raw shown through its embedded preview has no final
// crop of its own (the draft crop stands for it), and only raws with a sidecar keep a draft crop.
struct CropGroups {
    bool crop = true;
    bool draft = false;
};

CropGroups cropGroupsOf(const NRFImageInfoRec& record) {
    CropGroups groups;
    if (isRawWithSidecar(record)) {
        bool canRender = false;
        NRFCanRender(const_cast<NRFImageInfoRec*>(&record), &canRender);
        groups.crop = canRender;
        groups.draft = true;
    }
    return groups;
}

// "%*.*f" without the process locale: the decimal point is always '.'.
void appendFixed(std::string& out, double value, int width, int precision) {
    char digits[400];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    const std::size_t length = result.ec == std::errc() ? static_cast<std::size_t>(result.ptr - digits) : 0;
    if (length < static_cast<std::size_t>(width))
        out.append(static_cast<std::size_t>(width) - length, ' ');
    out.append(digits, length);
}

void appendElement(std::string& out, const char* indent, const char* name, long long value) {
    out += indent;
    out += '<';
    out += name;
    out += '>';
    out += std::to_string(value);
    out += "</";
    out += name;
    out += ">\n";
}

void appendElement(std::string& out, const char* indent, const char* name, double value, int width,
                   int precision) {
    out += indent;
    out += '<';
    out += name;
    out += '>';
    appendFixed(out, value, width, precision);
    out += "</";
    out += name;
    out += ">\n";
}

void appendGroupLine(std::string& out, const char* tag) {
    out += '\t';
    out += tag;
    out += '\n';
}

void appendCrop(std::string& out, const NRFNormalizedCrop& crop, const char* rectTag, const char* ratioTag) {
    appendGroupLine(out, (std::string("<") + rectTag + ">").c_str());
    appendElement(out, "\t\t", "angle", crop.angle, 8, 6);
    appendElement(out, "\t\t", "left", crop.left, 8, 6);
    appendElement(out, "\t\t", "top", crop.top, 8, 6);
    appendElement(out, "\t\t", "right", crop.right, 8, 6);
    appendElement(out, "\t\t", "bottom", crop.bottom, 8, 6);
    appendGroupLine(out, (std::string("</") + rectTag + ">").c_str());
    if (crop.constrained) {
        appendGroupLine(out, (std::string("<") + ratioTag + ">").c_str());
        appendElement(out, "\t", "width", crop.constraintWidth, 6, 3);
        appendElement(out, "\t", "height", crop.constraintHeight, 6, 3);
        appendGroupLine(out, (std::string("</") + ratioTag + ">").c_str());
    }
}

struct ContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct ObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
struct TextDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

// `text` as an image prefs document, or null when it is not one.
lumo::XMLDocumentPtr parsePrefsDocument(const std::string& text) {
    return lumo::parseOwnXMLDocument(text, kMaxDocumentSize, "IMAGEPREFS");
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct RectValues {
    std::optional<double> left, top, right, bottom;
    bool complete() const { return left && top && right && bottom; }
};

bool validRect(double left, double top, double right, double bottom) {
    return 0.0 <= left && left < right && right <= 1.0 && 0.0 <= top && top < bottom && bottom <= 1.0;
}

// A point of the image as shown (fractions of the shown width and height) taken back to the unrotated
// image. The code turns the stored image `code & 3` quarter turns clockwise, after mirroring it
// left to right when bit 2 is set; this undoes the turns, then the mirror.
void unrotatePoint(int code, double& x, double& y) {
    for (int turn = 0; turn < (code & 3); ++turn) {
        const double turnedX = y;
        y = 1.0 - x;
        x = turnedX;
    }
    if (code & 4)
        x = 1.0 - x;
}

} // namespace

// The importer's steps, kept out of the public header.
class NRFXMLImagePrefsReader {
public:
    NRFXMLImagePrefsReader(xmlXPathContext* context, NRFImageInfoRec& record, bool rawWithSidecar)
        : m_context(context), m_record(record), m_rawWithSidecar(rawWithSidecar) {}

    void ReadValues();
    bool ReadNewCrop();
    void ReadOldCrop();
    std::optional<double> xmlPathToNumber(const char* path);

private:
    std::optional<long long> integerAt(const char* path, long long low, long long high);
    bool takeNewRect(const char* group, std::optional<double> width, std::optional<double> height,
                     NRFNormalizedCrop& crop);
    bool takeOldRect(const char* group, const std::optional<double>& width,
                     const std::optional<double>& height, NRFNormalizedCrop& crop);

    xmlXPathContext* m_context;
    NRFImageInfoRec& m_record;
    bool m_rawWithSidecar;
};

std::optional<double> NRFXMLImagePrefsReader::xmlPathToNumber(const char* path) {
    try {
        std::unique_ptr<xmlXPathObject, ObjectDeleter> object(
            xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(path), m_context));
        if (!object || object->type != XPATH_NODESET || !object->nodesetval || object->nodesetval->nodeNr < 1)
            return std::nullopt;
        std::unique_ptr<xmlChar, TextDeleter> content(xmlNodeGetContent(object->nodesetval->nodeTab[0]));
        if (!content)
            return std::nullopt;
        const char* begin = reinterpret_cast<const char*>(content.get());
        const char* end = begin + std::strlen(begin);
        while (begin < end && isSpace(*begin))
            ++begin;
        while (end > begin && isSpace(end[-1]))
            --end;
        double value = 0.0;
        const auto result = std::from_chars(begin, end, value);
        if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
            return std::nullopt;
        return value;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::xmlPathToNumber()");
    }
    return std::nullopt;
}

std::optional<long long> NRFXMLImagePrefsReader::integerAt(const char* path, long long low, long long high) {
    const std::optional<double> value = xmlPathToNumber(path);
    if (!value || !(*value >= static_cast<double>(low)) || !(*value <= static_cast<double>(high))) {
        if (value)
            LUMO_LOG("Image prefs: %s %f out of range, ignored", path, *value);
        return std::nullopt;
    }
    return static_cast<long long>(*value);
}

void NRFXMLImagePrefsReader::ReadValues() {
    if (const auto tag = xmlPathToNumber("/IMAGEPREFS/tag"))
        m_record.m_tag = *tag != 0.0;
    if (const auto colorClass = integerAt("/IMAGEPREFS/colorclass", INT16_MIN, INT16_MAX))
        m_record.m_colorClass = static_cast<std::int16_t>(*colorClass);
    if (const auto rating = integerAt("/IMAGEPREFS/rating", INT16_MIN, INT16_MAX))
        m_record.m_rating = static_cast<std::int16_t>(*rating);
    // Written with "%d", so a number past 2^31 comes back negative.
    if (const auto number = integerAt("/IMAGEPREFS/imagenumber", INT32_MIN, UINT32_MAX))
        m_record.m_imageNumber = static_cast<std::uint32_t>(*number);
    // Only the eight codes exist; anything else would index past the orientation tables.
    if (const auto rotation = integerAt("/IMAGEPREFS/rotation", 0, 7))
        m_record.m_orientation = static_cast<std::int16_t>(*rotation);
}

bool NRFXMLImagePrefsReader::takeNewRect(const char* group, std::optional<double> width,
                                         std::optional<double> height, NRFNormalizedCrop& crop) {
    const std::string base = std::string("/IMAGEPREFS/") + group + "/";
    const auto angle = xmlPathToNumber((base + "angle").c_str());
    RectValues rect;
    rect.left = xmlPathToNumber((base + "left").c_str());
    rect.top = xmlPathToNumber((base + "top").c_str());
    rect.right = xmlPathToNumber((base + "right").c_str());
    rect.bottom = xmlPathToNumber((base + "bottom").c_str());
    if (!angle || !rect.complete())
        return false;
    if (!validRect(*rect.left, *rect.top, *rect.right, *rect.bottom)) {
        LUMO_LOG("Image prefs: %s rectangle %f %f %f %f is not valid, ignored", group, *rect.left, *rect.top,
                 *rect.right, *rect.bottom);
        return false;
    }
    const bool ratio = width && height;
    if (ratio && !(*width >= 0.0 && *height >= 0.0))
        return false;
    crop = NRFNormalizedCrop{
        *rect.left, *rect.top, *rect.right, *rect.bottom, *angle, ratio ? *width : 1.0, ratio ? *height : 1.0,
        ratio};
    return true;
}

bool NRFXMLImagePrefsReader::ReadNewCrop() {
    try {
        const auto width = xmlPathToNumber("/IMAGEPREFS/NORMCROPRATIO/width");
        const auto height = xmlPathToNumber("/IMAGEPREFS/NORMCROPRATIO/height");
        const auto draftWidth = xmlPathToNumber("/IMAGEPREFS/NORMCROPDRAFTRATIO/width");
        const auto draftHeight = xmlPathToNumber("/IMAGEPREFS/NORMCROPDRAFTRATIO/height");
        NRFNormalizedCrop crop, draft;
        const bool tookCrop = takeNewRect("NORMCROPRECT", width, height, crop);
        const bool tookDraft =
            m_rawWithSidecar && takeNewRect("NORMCROPRECTDRAFT", draftWidth, draftHeight, draft);
        if (tookCrop)
            m_record.m_crop = crop;
        if (tookDraft)
            m_record.m_draftCrop = draft;
        return tookCrop || tookDraft;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::ReadNewCrop()");
    }
    return false;
}

bool NRFXMLImagePrefsReader::takeOldRect(const char* group, const std::optional<double>& width,
                                         const std::optional<double>& height, NRFNormalizedCrop& crop) {
    const std::string base = std::string("/IMAGEPREFS/") + group + "/";
    RectValues rect;
    rect.left = xmlPathToNumber((base + "left").c_str());
    rect.top = xmlPathToNumber((base + "top").c_str());
    rect.right = xmlPathToNumber((base + "right").c_str());
    rect.bottom = xmlPathToNumber((base + "bottom").c_str());
    if (!rect.complete())
        return false;
    if (*rect.left < 0 || *rect.top < 0 || *rect.right < 0 || *rect.bottom < 0)
        return false;
    // Pixels of the image as shown: a quarter or three-quarter turn swaps its sides.
    const int code = m_record.m_orientation & 7;
    double shownWidth = m_record.m_width, shownHeight = m_record.m_height;
    if (code & 1)
        std::swap(shownWidth, shownHeight);
    if (shownWidth <= 0 || shownHeight <= 0)
        return false;
    double x1 = *rect.left / shownWidth, y1 = *rect.top / shownHeight;
    double x2 = *rect.right / shownWidth, y2 = *rect.bottom / shownHeight;
    unrotatePoint(code, x1, y1);
    unrotatePoint(code, x2, y2);
    const double left = std::min(x1, x2), right = std::max(x1, x2);
    const double top = std::min(y1, y2), bottom = std::max(y1, y2);
    if (!validRect(left, top, right, bottom)) {
        LUMO_LOG("Image prefs: %s rectangle %f %f %f %f is not valid, ignored", group, *rect.left, *rect.top,
                 *rect.right, *rect.bottom);
        return false;
    }
    const bool ratio = width && height && *width >= 0.0 && *height >= 0.0;
    crop =
        NRFNormalizedCrop{left, top, right, bottom, 0.0, ratio ? *width : 1.0, ratio ? *height : 1.0, ratio};
    return true;
}

void NRFXMLImagePrefsReader::ReadOldCrop() {
    try {
        const auto width = xmlPathToNumber("/IMAGEPREFS/CROPRATIO/width");
        const auto height = xmlPathToNumber("/IMAGEPREFS/CROPRATIO/height");
        NRFNormalizedCrop crop;
        if (m_rawWithSidecar) {
            if (takeOldRect("PROCROPRECT", width, height, crop))
                m_record.m_crop = crop;
            if (takeOldRect("PROCROPRECTDRAFT", width, height, crop))
                m_record.m_draftCrop = crop;
        } else if (takeOldRect("CROPRECT", width, height, crop)) {
            m_record.m_crop = crop;
        }
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::ReadOldCrop()");
    }
}

NRFErr NRFXMLImagePrefsExporter::ExportImagePrefsToBuffer(const NRFImageInfoRec& record, std::string& out,
                                                          bool pad) {
    try {
        out.clear();
        const CropGroups groups = cropGroupsOf(record);

        std::string text = "<?xml version=\"1.0\"?>\n<IMAGEPREFS>\n";
        if (record.m_imageNumber)
            appendElement(text, "\t", "imagenumber", static_cast<std::int32_t>(*record.m_imageNumber));
        appendElement(text, "\t", "rotation", record.m_orientation);
        if (groups.crop)
            appendCrop(text, record.m_crop, "NORMCROPRECT", "NORMCROPRATIO");
        if (groups.draft)
            appendCrop(text, record.m_draftCrop, "NORMCROPRECTDRAFT", "NORMCROPDRAFTRATIO");
        appendElement(text, "\t", "tag", record.m_tag ? 1 : 0);
        if (record.m_colorClass != 0)
            appendElement(text, "\t", "colorclass", record.m_colorClass);
        if (record.m_rating != 0)
            appendElement(text, "\t", "rating", record.m_rating);
        text += "</IMAGEPREFS>\n";
        if (pad && text.size() < 1024)
            text.append(1024 - text.size(), ' ');
        out = std::move(text);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::ExportImagePrefsToBuffer()");
    }
    return kNRFErrException;
}

NRFErr NRFXMLImagePrefsExporter::ExportImagePrefsToFile(const NRFImageInfoRec& record,
                                                        const std::string& path, bool pad) {
    try {
        std::string text;
        if (const NRFErr err = ExportImagePrefsToBuffer(record, text, pad); err != kNRFErrNone)
            return err;
        if (const int e = lumo::writeFileReplacing(path, text); e != 0) {
            LUMO_LOG("Unable to write image prefs to '%s': %s", path.c_str(), std::strerror(e));
            return 6;
        }
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::ExportImagePrefsToFile()");
    }
    return kNRFErrException;
}

NRFErr NRFXMLImagePrefsImporter::ImportImagePrefsFromBuffer(NRFImageInfoRec& record,
                                                            const std::string& text) {
    try {
        lumo::XMLDocumentPtr doc = parsePrefsDocument(text);
        if (!doc)
            return kNRFErrBadFormat;
        std::unique_ptr<xmlXPathContext, ContextDeleter> context(xmlXPathNewContext(doc.get()));
        if (!context)
            return kNRFErrMemory;

        NRFXMLImagePrefsReader reader(context.get(), record, isRawWithSidecar(record));
        reader.ReadValues();
        if (!reader.ReadNewCrop())
            reader.ReadOldCrop();
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImporter::ImportImagePrefsFromBuffer()");
    }
    return kNRFErrException;
}

NRFErr NRFXMLImagePrefsImporter::ImportImagePrefsFromFile(NRFImageInfoRec& record, const std::string& path) {
    std::string text;
    if (const int e = lumo::readFile(path, text, kMaxDocumentSize + 1); e != 0) {
        LUMO_LOG("Unable to read image prefs from '%s': %s", path.c_str(), std::strerror(e));
        // There is a document, but not for us to read: not the same as none (5).
        return e == ENOENT ? kNRFErrOpen : kNRFErrPrefsUnreadable;
    }
    return ImportImagePrefsFromBuffer(record, text);
}

NRFErr NRFXMLImagePrefsExport(const NRFImageInfoRec& record, std::string& out, bool pad) {
    try {
        return NRFXMLImagePrefsExporter().ExportImagePrefsToBuffer(record, out, pad);
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsExport()");
    }
    return kNRFErrException;
}

NRFErr NRFXMLImagePrefsImport(NRFImageInfoRec& record, const std::string& text) {
    try {
        return NRFXMLImagePrefsImporter().ImportImagePrefsFromBuffer(record, text);
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsImport()");
    }
    return kNRFErrException;
}

NRFErr NRFXMLImagePrefsMerge(const NRFImageInfoRec& record, const std::string& existing, std::string& out) {
    try {
        out.clear();
        std::string text;
        if (const NRFErr err = NRFXMLImagePrefsExporter().ExportImagePrefsToBuffer(record, text, false))
            return err;
        if (std::all_of(existing.begin(), existing.end(), isSpace)) {
            out = std::move(text);
            return kNRFErrNone;
        }
        lumo::XMLDocumentPtr doc = parsePrefsDocument(existing);
        if (!doc)
            return kNRFErrBadFormat;
        // What this record's document says itself; everything else in the old one is kept.
        const CropGroups groups = cropGroupsOf(record);
        const auto written = [&](const char* name) {
            static constexpr const char* kAlways[] = {"rotation", "tag", "colorclass", "rating"};
            for (const char* always : kAlways)
                if (std::strcmp(name, always) == 0)
                    return true;
            if (std::strcmp(name, "imagenumber") == 0)
                return record.m_imageNumber.has_value();
            if (std::strcmp(name, "NORMCROPRECT") == 0 || std::strcmp(name, "NORMCROPRATIO") == 0)
                return groups.crop;
            if (std::strcmp(name, "NORMCROPRECTDRAFT") == 0 || std::strcmp(name, "NORMCROPDRAFTRATIO") == 0)
                return groups.draft;
            return false;
        };
        std::string kept;
        for (xmlNode* node = xmlDocGetRootElement(doc.get())->children; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE || written(reinterpret_cast<const char*>(node->name)))
                continue;
            // A copy standing alone, declaring the namespaces it borrowed from the old root.
            std::unique_ptr<xmlNode, decltype(&xmlFreeNode)> copy(xmlDocCopyNode(node, doc.get(), 1),
                                                                  &xmlFreeNode);
            std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), &xmlBufferFree);
            if (!copy || !buffer || xmlReconciliateNs(doc.get(), copy.get()) < 0 ||
                xmlNodeDump(buffer.get(), doc.get(), copy.get(), 1, 0) < 0)
                return kNRFErrMemory;
            kept += '\t';
            kept.append(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                        static_cast<std::size_t>(xmlBufferLength(buffer.get())));
            kept += '\n';
        }
        static constexpr char kClosing[] = "</IMAGEPREFS>\n";
        text.insert(text.size() - (sizeof kClosing - 1), kept);
        out = std::move(text);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFXMLImagePrefsExport()");
    }
    return kNRFErrException;
}
