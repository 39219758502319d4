#include "NRF/NRFXMPRating.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/QuietXMLErrors.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kXMPNamespace[] = "http://ns.adobe.com/xap/1.0/";
// Packets with thumbnails run to a few hundred kilobytes; a sidecar or packet past this is not read.
constexpr std::size_t kMaxPacketSize = 16 << 20;

struct DocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct TextDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

bool isRating(const xmlNs* ns, const xmlChar* name) {
    return ns && ns->href && std::strcmp(reinterpret_cast<const char*>(ns->href), kXMPNamespace) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(name), "Rating") == 0;
}

// A rating as XMP writes it: a number from -1 to 5 ("3", "-1", "2.0").
std::optional<int> ratingValue(const xmlChar* text) {
    if (!text)
        return std::nullopt;
    const char* begin = reinterpret_cast<const char*>(text);
    while (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r')
        ++begin;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    if (end == begin || errno != 0 || !std::isfinite(value))
        return std::nullopt;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
        ++end;
    if (*end != '\0' || value < -1.0 || value > 5.0)
        return std::nullopt;
    return static_cast<int>(std::lround(value));
}

} // namespace

std::optional<int> NRFXMPRatingFromPacket(const std::string& packet) {
    if (packet.empty() || packet.size() > kMaxPacketSize)
        return std::nullopt;
    // What follows the packet's end (a GIF's "magic trailer", padding) is not XML.
    std::size_t length = packet.size();
    if (const std::size_t end = packet.find("<?xpacket end"); end != std::string::npos)
        if (const std::size_t close = packet.find("?>", end); close != std::string::npos)
            length = close + 2;
    lumo::QuietXMLErrors::ensureParserReady();
    const lumo::QuietXMLErrors quiet;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const std::unique_ptr<xmlDoc, DocumentDeleter> doc(
        xmlReadMemory(packet.data(), static_cast<int>(length), nullptr, nullptr, options));
    // XMP never carries a document type; one that does may define entities meant to blow up.
    if (!doc || doc->intSubset || doc->extSubset)
        return std::nullopt;
    std::vector<const xmlNode*> pending;
    if (const xmlNode* root = xmlDocGetRootElement(doc.get()))
        pending.push_back(root);
    while (!pending.empty()) {
        const xmlNode* node = pending.back();
        pending.pop_back();
        if (node->type != XML_ELEMENT_NODE)
            continue;
        // rdf:Description xmp:Rating="3", or <xmp:Rating>3</xmp:Rating>.
        for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
            if (isRating(attribute->ns, attribute->name)) {
                const std::unique_ptr<xmlChar, TextDeleter> value(xmlNodeGetContent(attribute->children));
                return ratingValue(value.get());
            }
        if (isRating(node->ns, node->name)) {
            const std::unique_ptr<xmlChar, TextDeleter> value(xmlNodeGetContent(node));
            return ratingValue(value.get());
        }
        // Children in document order: the first rating found is the one taken.
        std::vector<const xmlNode*> children;
        for (const xmlNode* child = node->children; child; child = child->next)
            children.push_back(child);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return std::nullopt;
}

NRFErr NRFReadXMPRating(const NRFImageInfoRec& record, NRFXMPRating& out) {
    try {
        out = NRFXMPRating{};
        const NRFFileTypeInfo* info = NRFGetFileTypeInfo(NRFFindFileType(record.m_fileType));
        const std::uint32_t capabilities = info ? info->capabilities : 0;
        const bool embedded = record.m_xmpPacketLength != 0;
        bool useSidecar = false;
        if (record.m_hasXmpSidecar) {
            if (capabilities & kNRFCapMovieSidecars)
                useSidecar = true;
            else if (capabilities & kNRFCapRawSidecar)
                useSidecar = !embedded || record.m_xmpSidecarModTimeNs > record.m_modTimeNs;
        }
        std::string packet;
        if (useSidecar) {
            const std::string sidecar = NRFLocalImageInfoRec::FindXmpSidecar(record.m_path);
            if (sidecar.empty())
                return kNRFErrNone; // gone since the record was read
            if (const int e = lumo::readFile(sidecar, packet, kMaxPacketSize + 1); e != 0) {
                NRFSetErrorText("Unable to read '%s': %s", sidecar.c_str(), std::strerror(e));
                return kNRFErrOpen;
            }
            out.sidecar = sidecar;
        } else if (embedded) {
            if (record.m_xmpPacketLength > kMaxPacketSize)
                return kNRFErrNone;
            if (const NRFErr err = NRFReadEmbeddedBytes(record.m_path, record.m_xmpPacketPos,
                                                        record.m_xmpPacketLength, packet);
                err != kNRFErrNone) {
                NRFSetErrorText("Unable to read the XMP of '%s'", record.m_path.c_str());
                return err;
            }
        } else {
            return kNRFErrNone;
        }
        out.rating = NRFXMPRatingFromPacket(packet);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFReadXMPRating()");
    }
    return kNRFErrException;
}
