#include "fileops/CopyOptions.h"

#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/LumoCopyFile.h"

#include <algorithm>

CopyOptions CopyOptions::Load() {
    CopyOptions options;
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return options;
    options.m_destinationType = static_cast<int>(std::clamp<std::int64_t>(
        preferences->getInt(kPrefCopyDestinationType, kPrefCopyDestinationTypeDefault), kCopyToPickedFolder,
        kCopyToOwnFolder));
    options.m_lastDestPath = preferences->getString(kPrefCopyLastDestPath, "");
    options.m_createSubfolderPath = preferences->getString(kPrefCopyCreateSubfolderPath, "");
    options.m_toParentFolderPath = preferences->getString(kPrefCopyToParentFolderPath, "");
    options.m_toFolderPath = preferences->getString(kPrefCopyToFolderPath, "");
    options.m_applyIPTC = preferences->getBool(kPrefCopyApplyIPTC, false);
    options.m_renameCopiedFiles = preferences->getBool(kPrefCopyRenameCopiedFiles, false);
    options.m_renameString = preferences->getString(kPrefRenameString, "");
    options.m_moveFiles = preferences->getBool(kPrefCopyMoveFiles, false);
    options.m_clearMoveSetting = preferences->getBool(kPrefCopyClearMoveSetting, false);
    options.m_overwriteFiles = preferences->getBool(kPrefCopyOverwriteFiles, false);
    options.m_clearOverwriteSetting = preferences->getBool(kPrefCopyClearOverwriteSetting, false);
    options.m_openDestination = preferences->getBool(kPrefCopyOpenDestination, false);
    options.m_waveFiles = preferences->getBool(kPrefCopyWaveFiles, false);
    return options;
}

bool CopyOptions::Save() const {
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return false;
    bool ok = preferences->setInt(kPrefCopyDestinationType, m_destinationType);
    ok &= preferences->setString(kPrefCopyLastDestPath, m_lastDestPath);
    ok &= preferences->setString(kPrefCopyCreateSubfolderPath, m_createSubfolderPath);
    ok &= preferences->setString(kPrefCopyToParentFolderPath, m_toParentFolderPath);
    ok &= preferences->setString(kPrefCopyToFolderPath, m_toFolderPath);
    ok &= preferences->setBool(kPrefCopyApplyIPTC, m_applyIPTC);
    ok &= preferences->setBool(kPrefCopyRenameCopiedFiles, m_renameCopiedFiles);
    ok &= preferences->setString(kPrefRenameString, m_renameString);
    ok &= preferences->setBool(kPrefCopyMoveFiles, m_moveFiles);
    ok &= preferences->setBool(kPrefCopyClearMoveSetting, m_clearMoveSetting);
    ok &= preferences->setBool(kPrefCopyOverwriteFiles, m_overwriteFiles);
    ok &= preferences->setBool(kPrefCopyClearOverwriteSetting, m_clearOverwriteSetting);
    ok &= preferences->setBool(kPrefCopyOpenDestination, m_openDestination);
    ok &= preferences->setBool(kPrefCopyWaveFiles, m_waveFiles);
    return ok && preferences->save();
}

std::uint16_t CopyOptions::CopyFlags() const {
    std::uint16_t flags = 0;
    if (m_applyIPTC)
        flags |= kCopyApplyMetadata;
    if (m_waveFiles)
        flags |= kCopySoundFile;
    if (m_renameCopiedFiles)
        flags |= kCopyRenameTemplate;
    if (m_moveFiles)
        flags |= kCopyMove;
    if (m_overwriteFiles)
        flags |= kCopyOverwrite;
    return flags;
}
