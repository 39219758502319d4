#include "fileops/CopyPhotosThread.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/LumoCopyFile.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder name made by a template: the separators stay (a "\" typed in the template is one), every
// other character that a file system refuses becomes "-".
std::string replaceIllegalPathCharacters(std::string path) {
    for (char& c : path) {
        if (c == '\\')
            c = '/';
        else if (static_cast<unsigned char>(c) < 32 || std::strchr(":*?\"<>|", c) != nullptr)
            c = '-';
    }
    return path;
}

std::string joinFolder(const std::string& base, const std::string& relative) {
    std::size_t start = 0;
    while (start < relative.size() && relative[start] == '/')
        ++start;
    if (start == relative.size())
        return base;
    return base.empty() || base.back() == '/' ? base + relative.substr(start)
                                              : base + "/" + relative.substr(start);
}

// The photo's own metadata (empty when it has none or it cannot be read).
IPTCRec photoMetadata(const NRFImageInfoRef& record) {
    IPTCRec metadata;
    if (!record)
        return metadata;
    NRFImageInfoRef copy = record->Clone();
    if (NRFGetImageInfo(copy.get()) == kNRFErrNone)
        NRFLoadIPTC(copy.get(), &metadata);
    return metadata;
}

} // namespace

CopyPhotosThread::CopyPhotosThread(std::vector<DocumentItem::Ref> items, CopyOptions options,
                                   ProgressDialogInterface* progress, std::string predefinedDestination,
                                   std::optional<IPTCRec> stationery)
    : CProgressInfo(progress, true, false), m_items(std::move(items)), m_options(std::move(options)),
      m_predefinedDestination(std::move(predefinedDestination)), m_stationery(std::move(stationery)) {}

CopyPhotosThread::~CopyPhotosThread() {
    CancelAndJoin();
}

bool CopyPhotosThread::AppliedMetadata(DocumentItem& item, const VariableContext& context, IPTCRec& metadata,
                                       std::string* error) {
    const NRFImageInfoRef record = item.PrimaryRecord();
    metadata = photoMetadata(record);
    if (!m_options.m_applyIPTC || !m_stationery)
        return true;
    return IPTCApplyStationeryToPhoto(*m_stationery, metadata, record.get(), context, error);
}

std::string CopyPhotosThread::GetDestPathForCell(DocumentItem& item, const VariableContext& context) {
    std::string folder;
    if (!m_predefinedDestination.empty()) {
        folder = m_predefinedDestination;
    } else if (m_options.m_destinationType == kCopyToOwnFolder) {
        folder = folderOf(item.FullPath());
    } else if (m_options.m_destinationType == kCopyToSubfolder ||
               m_options.m_destinationType == kCopyToFolderUnderRoot) {
        const bool subfolder = m_options.m_destinationType == kCopyToSubfolder;
        const std::string base = subfolder ? folderOf(item.FullPath()) : m_options.m_toParentFolderPath;
        if (base.empty()) {
            LUMO_LOG("CopyPhotosThread::CopyFile(%s) directory creation failed", base.c_str());
            return {};
        }
        item.Load();
        const NRFImageInfoRef record = item.PrimaryRecord();
        IPTCRec metadata;
        std::string error;
        if (!AppliedMetadata(item, context, metadata, &error))
            LUMO_LOG("CopyPhotosThread::GetDestPathForCell() the template was not applied: %s",
                     error.c_str());
        VariableContext photo = context;
        photo.image = record.get();
        photo.record = &metadata;
        // Values cannot bring a separator in (nor make a "." or ".." folder); the template's own do.
        const std::string name =
            ExpandVariables(subfolder ? m_options.m_createSubfolderPath : m_options.m_toFolderPath, photo,
                            kVariableFileName)
                .text;
        folder = joinFolder(base, replaceIllegalPathCharacters(name));
    } else {
        folder = m_options.m_lastDestPath;
    }
    std::error_code ec;
    if (folder.empty() || (!std::filesystem::create_directories(folder, ec) && ec) ||
        !std::filesystem::is_directory(folder, ec)) {
        LUMO_LOG("CopyPhotosThread::CopyFile(%s) directory creation failed", folder.c_str());
        return {};
    }
    return folder;
}

void CopyPhotosThread::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        BeginBackgroundWork();
        Run();
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in CopyPhotosThread::operator() %s", e.what());
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    } catch (...) {
        LUMO_LOG("Unexpected exception in CopyPhotosThread::operator()");
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    try {
        EndBackgroundWork();
    } catch (...) {
        LUMO_LOG("Unexpected exception in CopyPhotosThread::operator()");
    }
    progress.SetFinished(true);
}

void CopyPhotosThread::Run() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    const bool move = m_options.m_moveFiles;
    progress.SetTitle(m_options.ActionName());
    progress.SetMessage(move ? CopyPhotosText::kMoving : CopyPhotosText::kCopying);

    if (m_options.m_applyIPTC && !m_stationery) {
        IPTCRec current;
        if (IPTCLoadCurrentStationery(current))
            m_stationery = std::move(current);
    }
    const bool apply = m_options.m_applyIPTC && m_stationery;
    if (apply) {
        const std::string refusal = IPTCCheckStationerySelfVariables(*m_stationery);
        if (!refusal.empty()) {
            ErrorReporter::DoMessageBox(refusal);
            progress.SetStatus(ProgressDialogInterface::kStatusError);
            return;
        }
    }

    // The shared running sequence: the numbers of the whole run are taken before the first copy.
    const std::int64_t count = static_cast<std::int64_t>(m_items.size());
    const bool renameUsesSequence =
        m_options.m_renameCopiedFiles &&
        ExpandVariables(m_options.m_renameString, VariableContext{}, kVariableFileName).usedSequence;
    const bool reserve = renameUsesSequence || (apply && IPTCHaveSequenceVar(*m_stationery));
    std::optional<SequenceReservation> reservation;
    if (reserve) {
        reservation = ReserveSequenceNumbers(SequenceKind::Sequence, count);
        if (const auto preferences = CPreferences::instance())
            preferences->save();
    }

    if (apply && IPTCHaveReverseGeocoding(*m_stationery)) {
        bool found = false;
        if (m_reverseGeocode) {
            found = m_reverseGeocode(m_items);
        } else {
            // The installed geocoder finds (and caches) each place before the first copy.
            std::vector<NRFImageInfoRef> records;
            std::vector<const NRFImageInfoRec*> images;
            for (const DocumentItem::Ref& item : m_items) {
                NRFImageInfoRef record = item ? item->PrimaryRecord() : nullptr;
                if (record) {
                    images.push_back(record.get());
                    records.push_back(std::move(record));
                }
            }
            found = IPTCReverseGeocodeAll(images);
        }
        if (!found) {
            if (ErrorReporter::DoMessageBox(CopyPhotosText::kGeocodingFailed, MessageBoxButtons::YesNo) !=
                MessageBoxAnswer::Yes) {
                if (reservation)
                    ReleaseUnusedSequenceNumbers(*reservation, 0);
                progress.SetStatus(ProgressDialogInterface::kStatusCancelled);
                return;
            }
            m_stationery->m_reverseGeocodingApply.fill(false);
        }
    }

    const SequenceSetting shared = CurrentSequence(SequenceKind::Sequence);
    std::uint16_t flags = m_options.CopyFlags();
    if (!apply)
        flags = static_cast<std::uint16_t>(flags & ~kCopyApplyMetadata);
    bool anyFailed = false;
    std::int64_t done = 0;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (progress.IsCancelled())
            break;
        DocumentItem& item = *m_items[i];
        VariableContext context;
        context.index = static_cast<std::uint32_t>(i + 1);
        context.total = static_cast<std::uint32_t>(m_items.size());
        context.sequence = reservation ? reservation->first + static_cast<std::int64_t>(i) : shared.next;
        context.sequenceDigits = reservation ? reservation->digits : shared.digits;

        PhotoResult result;
        result.source = item.FullPath();
        const std::string destination = GetDestPathForCell(item, context);
        if (destination.empty()) {
            result.error = "The destination folder for '" + item.FileName() + "' could not be made.";
        } else {
            progress.SetMessage((move ? "Moving " : "Copying ") + item.FileName() + " to " + destination);
            CopyFileRequest request;
            request.destinationFolder = destination;
            request.namingTemplate = m_options.m_renameString;
            request.context = &context;
            request.flags = flags;
            if (apply) {
                const IPTCRec& stationery = *m_stationery;
                request.editMetadata = [&stationery, &context](const NRFImageInfoRec& image,
                                                               IPTCRec& metadata, std::string& error) {
                    return IPTCApplyStationeryToPhoto(stationery, metadata, &image, context, &error);
                };
            }
            std::string name;
            std::string error;
            if (item.ImageCopy(request, name, &error) == 1) {
                result.destination = destination + (destination.back() == '/' ? "" : "/") + name;
                if (std::find(m_destinations.begin(), m_destinations.end(), destination) ==
                    m_destinations.end())
                    m_destinations.push_back(destination);
                // The photo went, but its companion did not: the user hears of it as of a failure.
                result.error = error;
            } else {
                result.error = error.empty() ? std::string(DocumentItemText::kCopyHeading) : error;
            }
        }
        if (!result.error.empty()) {
            LUMO_LOG("CopyPhotosThread::operator() '%s': %s", result.source.c_str(), result.error.c_str());
            anyFailed = true;
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
        }
        m_results.push_back(std::move(result));
        done = static_cast<std::int64_t>(i + 1);
        progress.SetPercent(static_cast<unsigned>(done * 100 / count));
    }
    if (reservation)
        ReleaseUnusedSequenceNumbers(*reservation, done);

    if (anyFailed)
        ErrorReporter::DoMessageBox(CopyPhotosText::kErrors);
    if (m_options.m_openDestination)
        OpenDestinations();
    ClearAfterUse();
}

void CopyPhotosThread::OpenDestinations() {
    if (m_destinations.empty())
        return;
    if (m_destinations.size() > kFoldersOpenedWithoutAsking) {
        char question[160];
        std::snprintf(question, sizeof question, CopyPhotosText::kOpenFoldersWarning,
                      static_cast<unsigned long>(m_destinations.size()));
        if (ErrorReporter::DoMessageBox(question, MessageBoxButtons::YesNo) != MessageBoxAnswer::Yes)
            return;
    }
    if (!m_openFolder)
        return;
    for (const std::string& folder : m_destinations)
        m_openFolder(folder);
}

void CopyPhotosThread::ClearAfterUse() {
    const auto preferences = CPreferences::instance();
    if (!preferences || !(m_options.m_clearMoveSetting || m_options.m_clearOverwriteSetting))
        return;
    if (m_options.m_clearMoveSetting)
        preferences->setBool(kPrefCopyMoveFiles, false);
    if (m_options.m_clearOverwriteSetting)
        preferences->setBool(kPrefCopyOverwriteFiles, false);
    preferences->save();
}
