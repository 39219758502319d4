#pragma once

// The copy/move options as the settings keep them: the dialog reads them when it opens and writes them
// on OK; the copy worker runs with a copy of them.

#include "archive/VObject.h"

#include <cstdint>
#include <string>

// Where each photo goes.
enum CopyDestinationType : int {
    kCopyToPickedFolder = 0,    // "CopyLastDestPath"
    kCopyToSubfolder = 1,       // "CopyCreateSubfolderPath" expanded, inside the photo's own folder
    kCopyToFolderUnderRoot = 2, // "CopyToFolderPath" expanded, under "CopyToParentFolderPath"
    kCopyToOwnFolder = 3,       // next to the original
};

// What the folder browser asks.
inline constexpr char kCopySelectDestinationPrompt[] = "Please select the destination folder for copying:";

struct CopyOptions {
    int m_destinationType = kCopyToPickedFolder;
    std::string m_lastDestPath;
    std::string m_createSubfolderPath;
    std::string m_toParentFolderPath;
    std::string m_toFolderPath;
    bool m_applyIPTC = false;
    bool m_renameCopiedFiles = false;
    std::string m_renameString; // the naming template, shared with renaming
    bool m_moveFiles = false;
    bool m_clearMoveSetting = false;
    bool m_overwriteFiles = false;
    bool m_clearOverwriteSetting = false;
    bool m_openDestination = false;
    bool m_waveFiles = false;
    // Kept for the dialog's snapshot: how a RAW+JPEG pair is offered (both files are copied) and
    // whether the sequence box is ticked.
    std::int64_t m_rawPlusJpegOptions = 0;
    bool m_renameSequenceCheck = false;

    // From the settings (defaults without open preferences).
    static CopyOptions Load();
    // Into the settings; false when they could not be stored.
    bool Save() const;
    // The settings snapshot "CopyOptionsSettings": these options under the names of the dialog's controls
    // ("DestinationType", "MovePhotosCheckbox", "RenameString" ...). Reading it leaves what it lacks, or
    // holds with another type, as it was. The picked folder ("CopyLastDestPath") is not part of it.
    CILA::VObject ToSettingsSnapshot() const;
    void FromSettingsSnapshot(const CILA::VObject& snapshot);
    // Under "CopyOptionsSettings" in the settings; false when they are not open or refused it.
    bool SaveSettingsSnapshot() const;
    // False (options unchanged) when no snapshot is kept.
    bool LoadSettingsSnapshot();
    // The flag bits of the file copy (CopyFileFlags) these options ask for.
    std::uint16_t CopyFlags() const;
    // "Copy" or "Move", and "Copy Options" or "Move Options": the dialog's button and title.
    const char* ActionName() const { return m_moveFiles ? "Move" : "Copy"; }
    const char* DialogTitle() const { return m_moveFiles ? "Move Options" : "Copy Options"; }
};
