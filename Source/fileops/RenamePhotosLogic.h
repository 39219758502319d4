#pragma once

// What the rename dialog shows and allows, without a window: whether the selected photos can be told
// apart without a sequence, the sequence controls and the warning, whether Rename may be pressed, the
// example lines, and putting the sequence into the template or taking it out. The desktop's dialog and
// `lumo rename --dry-run` both use it.

#include "contactsheet/DocumentItem.h"

#include <cstddef>
#include <string>
#include <vector>

namespace RenameDialogText {
inline constexpr char kSequenceOrOther[] = "Please sequence or use another renaming variable.";
inline constexpr char kNoLeadingPeriod[] = "Filenames cannot begin with a period ( . )";
} // namespace RenameDialogText

class RenamePhotosLogic {
public:
    explicit RenamePhotosLogic(std::vector<DocumentItem::Ref> items);

    // Whether the photos can be told apart without a sequence (computed once, on construction).
    bool NamesStayApart() const { return m_namesStayApart; }

    struct State {
        bool sequenceTicked = false;
        bool sequenceEnabled = false; // the start field
        std::string label;            // "seqn = 12", the warning, or empty
        bool renameEnabled = false;
    };
    State Refresh(const std::string& namingTemplate) const;

    // The example lines: a heading and up to four photos, or the refusal of a leading period.
    std::vector<std::string> Examples(const std::string& namingTemplate) const;

    // Ticking the sequence box: "{seqn}" inserted at `caret` (a byte offset), or appended when the
    // template still lacks it. Unticking: every "{seqn}", "{sequence}" and "{auto}" removed.
    static std::string InsertSequence(const std::string& namingTemplate, std::size_t caret);
    static std::string RemoveSequence(const std::string& namingTemplate);

private:
    std::vector<DocumentItem::Ref> m_items;
    bool m_namesStayApart = true;
};
