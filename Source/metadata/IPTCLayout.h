#pragma once

// How the metadata editor and the template window lay out the catalogue's fields: an ordered list of
// entries, each a catalogue field or a group heading, stored as XML text. Every layout this unit hands
// out lists each catalogue label and each of the 20 group labels exactly once; fields a layout does not
// show are there with Visible off.

#include <string>
#include <string_view>
#include <vector>

class CIPTCFieldInfo {
public:
    std::string m_Identifier; // a catalogue label, or "Group Label 1" to "Group Label 20"
    std::string m_FieldName;  // the caption shown; for a group heading the group's title
    int m_NumRows = 0;        // 0: one line; otherwise the rows of a multi-line box
    int m_Column = 0;         // 0 or 1
    bool m_Enabled = true;
    bool m_Visible = true;

    bool IsGroupLabel() const { return IsGroupLabel(m_Identifier); }
    static bool IsGroupLabel(std::string_view identifier);
    // Removes the entries whose identifier is neither a catalogue label nor a group label, logging each
    // as "CIPTCFieldInfo::ValidateFieldIdentifiers() invalid identifier %s". False when one went.
    static bool ValidateFieldIdentifiers(std::vector<CIPTCFieldInfo>& entries);

    bool operator==(const CIPTCFieldInfo&) const = default;
};

// A group heading and the entries that follow it up to the next heading. Entries before the first
// heading form a cluster whose heading has an empty identifier.
class CIPTCFieldCluster {
public:
    CIPTCFieldInfo m_Group;
    std::vector<CIPTCFieldInfo> m_Fields;
};

std::vector<CIPTCFieldCluster> IPTCClusterLayout(const std::vector<CIPTCFieldInfo>& entries);

enum class IPTCLayoutKind {
    Editor,   // root "CustomizedIPTCInfoSettings"
    Template, // root "CustomizedIPTCStationerySettings"
};

// The layout as XML text: the root, "NumFields", "Version" ("1.400000") and one empty "Field_<n>"
// element per entry carrying its six attributes.
std::string IPTCLayoutToXML(const std::vector<CIPTCFieldInfo>& entries, IPTCLayoutKind kind);
// Reads a layout written by IPTCLayoutToXML (a missing attribute takes the entry's default) and
// reconciles it with the catalogue (IPTCReconcileLayout). False, leaving `entries` empty, when the text
// is not a layout of that kind.
bool IPTCLayoutFromXML(std::string_view xml, IPTCLayoutKind kind, std::vector<CIPTCFieldInfo>& entries);
// Drops invalid identifiers (logged, see ValidateFieldIdentifiers) and repeated ones (the first stays),
// then appends every catalogue label and group label the layout lacks, hidden, with its default
// caption: a layout saved before a field existed keeps its order and still offers the new field.
void IPTCReconcileLayout(std::vector<CIPTCFieldInfo>& entries);

// The built-in layouts the user can choose, in menu order: "Lumo 4.4 - 4.6" (the default editor
// layout), "Lumo Classic", "Lumo Classic+2" and "USA Military".
const std::vector<std::string>& IPTCBuiltInLayoutNames();
// Empty for a name that is not one of them.
std::vector<CIPTCFieldInfo> IPTCBuiltInLayout(std::string_view name);
// The default layout: the groups "Image Content" to "Getty Images", the catalogue's fields in catalogue
// order within them, then the empty group labels 12 to 20.
std::vector<CIPTCFieldInfo> IPTCDefaultLayout();
