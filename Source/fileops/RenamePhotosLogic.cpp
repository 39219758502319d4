// The rename dialog's logic.

#include "fileops/RenamePhotosLogic.h"

#include "fileops/RenamePhotosThread.h"
#include "variables/VariableSequence.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <utility>

namespace {

std::string lowerExtension(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2))
        return {};
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

RenamePhotosLogic::RenamePhotosLogic(std::vector<DocumentItem::Ref> items) : m_items(std::move(items)) {
    std::size_t names = 0;
    std::set<std::string> extensions;
    for (const auto& item : m_items) {
        const std::vector<std::string> files = {item->FullPath(), item->CompanionPath()};
        for (const std::string& file : files)
            if (!file.empty()) {
                ++names;
                extensions.insert(lowerExtension(file));
            }
    }
    if (names <= extensions.size())
        return;
    // Two photos stay apart under one new name only when no folder holds a file of each with the same
    // extension.
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& item : m_items) {
        std::set<std::pair<std::string, std::string>> own;
        for (const std::string& file : {item->FullPath(), item->CompanionPath()})
            if (!file.empty())
                own.emplace(folderOf(file), lowerExtension(file));
        for (const auto& key : own)
            if (!seen.insert(key).second) {
                m_namesStayApart = false;
                return;
            }
    }
}

RenamePhotosLogic::State RenamePhotosLogic::Refresh(const std::string& namingTemplate) const {
    State state;
    state.renameEnabled = !namingTemplate.empty() && namingTemplate.front() != '.';
    if (RenameTemplateUsesSequence(namingTemplate)) {
        state.sequenceTicked = true;
        state.sequenceEnabled = true;
        state.label = "seqn = " + std::to_string(CurrentSequence(SequenceKind::Sequence).next);
    } else if (m_items.size() >= 2 && !m_namesStayApart) {
        state.label = RenameDialogText::kSequenceOrOther;
        state.renameEnabled = false;
    }
    return state;
}

std::vector<std::string> RenamePhotosLogic::Examples(const std::string& namingTemplate) const {
    if (!namingTemplate.empty() && namingTemplate.front() == '.')
        return {"", "", "", "", RenameDialogText::kNoLeadingPeriod};
    const std::size_t count = m_items.size();
    char line[64];
    std::snprintf(line, sizeof line, "%d photo%s to rename:", static_cast<int>(count), count == 1 ? "" : "s");
    std::vector<std::string> lines = {line};
    std::vector<std::size_t> shown;
    if (count >= 5)
        shown = {0, 1, count, count - 1}; // `count` marks the " ..." line
    else
        for (std::size_t i = 0; i < std::min<std::size_t>(count, 3); ++i)
            shown.push_back(i);
    const SequenceSetting shared = CurrentSequence(SequenceKind::Sequence);
    for (const std::size_t i : shown) {
        if (i == count) {
            lines.push_back(" ...");
            continue;
        }
        VariableContext context;
        context.index = static_cast<std::uint32_t>(i + 1);
        context.total = static_cast<std::uint32_t>(count);
        context.sequence = shared.next + static_cast<std::int64_t>(i);
        context.sequenceDigits = shared.digits;
        std::string error;
        std::string name = ComputeRenamedFileName(namingTemplate, *m_items[i], context, error, true);
        if (name.empty())
            name = error;
        lines.push_back(std::to_string(i + 1) + ".  \"" + m_items[i]->FileName() + "\" will become \"" +
                        name + "\"");
    }
    return lines;
}

std::string RenamePhotosLogic::InsertSequence(const std::string& namingTemplate, std::size_t caret) {
    if (namingTemplate.find("{seqn}") != std::string::npos)
        return namingTemplate;
    std::string out = namingTemplate;
    out.insert(std::min(caret, out.size()), "{seqn}");
    return out;
}

std::string RenamePhotosLogic::RemoveSequence(const std::string& namingTemplate) {
    std::string out = namingTemplate;
    for (const char* token : {"{seqn}", "{sequence}", "{auto}"})
        for (std::size_t at; (at = out.find(token)) != std::string::npos;)
            out.erase(at, std::char_traits<char>::length(token));
    return out;
}
