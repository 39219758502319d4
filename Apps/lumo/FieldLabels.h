#pragma once

// The metadata fields as the commands name them: by their catalogue labels, with a little leeway.

#include "metadata/IPTCCatalogue.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

// The catalogue row a label names: the label exactly, else the one label that differs only in case,
// else the one label of which it is a part between "/" ("Caption" for "Description/Caption",
// "Photographer" for "Creator/Photographer").
inline const IPTCCatalogueEntry* findLabel(const std::string& label) {
    if (const IPTCCatalogueEntry* entry = IPTCFindCatalogueEntry(label))
        return entry;
    const auto unique = [](const auto& matches) -> const IPTCCatalogueEntry* {
        const IPTCCatalogueEntry* found = nullptr;
        for (const IPTCCatalogueEntry& entry : IPTCCatalogue())
            if (matches(std::string_view(entry.label))) {
                if (found)
                    return nullptr;
                found = &entry;
            }
        return found;
    };
    if (const IPTCCatalogueEntry* entry =
            unique([&label](std::string_view name) { return lumo::iequals(name, label); }))
        return entry;
    return unique([&label](std::string_view name) {
        if (name.find('/') == std::string_view::npos)
            return false;
        for (std::size_t start = 0; start <= name.size();) {
            const std::size_t end = std::min(name.find('/', start), name.size());
            if (lumo::iequals(name.substr(start, end - start), label))
                return true;
            start = end + 1;
        }
        return false;
    });
}

inline std::string unknownLabelText(const std::string& label) {
    std::vector<std::string> labels;
    for (const IPTCCatalogueEntry& entry : IPTCCatalogue())
        labels.push_back(entry.label);
    std::string text = "no metadata field is labelled \"" + label + "\"";
    if (const std::string nearest = lumo::nearestWord(label, labels); !nearest.empty())
        text += " (did you mean \"" + nearest + "\"?)";
    text += "; the labels are:";
    for (std::size_t i = 0; i < labels.size(); ++i)
        text += (i == 0 ? " \"" : ", \"") + labels[i] + "\"";
    return text;
}
