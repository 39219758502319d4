#include "fileops/CopyOptions.h"

#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/LumoCopyFile.h"

#include <algorithm>
#include <type_traits>

namespace {

// Each option of the snapshot with its control's name.
template <typename Options, typename Visit>
void eachSnapshotField(Options& o, Visit visit) {
    visit("RawPlusJpegOptions", o.m_rawPlusJpegOptions);
    visit("ApplyIptcCheckbox", o.m_applyIPTC);
    visit("MovePhotosCheckbox", o.m_moveFiles);
    visit("ClearMoveSetting", o.m_clearMoveSetting);
    visit("OverwritePhotosCheckbox", o.m_overwriteFiles);
    visit("ClearOverwriteSetting", o.m_clearOverwriteSetting);
    visit("CopyWavFilesCheckbox", o.m_waveFiles);
    visit("RenamePhotosCheckbox", o.m_renameCopiedFiles);
    visit("RenameString", o.m_renameString);
    visit("RenameSequenceCheck", o.m_renameSequenceCheck);
    visit("DestinationType", o.m_destinationType);
    visit("CopyToFolderRootPath", o.m_toParentFolderPath);
    visit("CopyToFolderPath", o.m_toFolderPath);
    visit("CreateSubfolderPath", o.m_createSubfolderPath);
    visit("OpenDestinationCheckbox", o.m_openDestination);
}

void readField(const CILA::VObject& value, bool& out) {
    if (value.dataType() == CILA::VObject::DT_BOOL)
        out = value.getbool();
}
void readField(const CILA::VObject& value, std::string& out) {
    if (value.dataType() == CILA::VObject::DT_STR)
        out = value.getstr();
}
void readField(const CILA::VObject& value, std::int64_t& out) {
    if (value.dataType() == CILA::VObject::DT_INTEGER)
        out = value.getint();
}
void readField(const CILA::VObject& value, int& out) {
    if (value.dataType() == CILA::VObject::DT_INTEGER && value.getint() >= kCopyToPickedFolder &&
        value.getint() <= kCopyToOwnFolder)
        out = static_cast<int>(value.getint());
}

} // namespace

CILA::VObject CopyOptions::ToSettingsSnapshot() const {
    CILA::VObject snapshot = CILA::VObject::makeHash();
    eachSnapshotField(*this, [&](const char* name, const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, int>)
            snapshot.store(name, CILA::VObject(static_cast<std::int64_t>(field)));
        else
            snapshot.store(name, CILA::VObject(field));
    });
    return snapshot;
}

void CopyOptions::FromSettingsSnapshot(const CILA::VObject& snapshot) {
    if (snapshot.dataType() != CILA::VObject::DT_HASH)
        return;
    eachSnapshotField(*this, [&](const char* name, auto& field) {
        if (const CILA::VObject* value = snapshot.fetch(name))
            readField(*value, field);
    });
}

bool CopyOptions::SaveSettingsSnapshot() const {
    const auto preferences = CPreferences::instance();
    return preferences && preferences->setValue(kPrefCopyOptionsSettings, ToSettingsSnapshot());
}

bool CopyOptions::LoadSettingsSnapshot() {
    const auto preferences = CPreferences::instance();
    CILA::VObject stored;
    if (!preferences || !preferences->getValue(kPrefCopyOptionsSettings, stored) ||
        stored.dataType() != CILA::VObject::DT_HASH)
        return false;
    FromSettingsSnapshot(stored);
    return true;
}

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
