#include "fileops/ApplyToSelectedThread.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFXMPBlocks.h"
#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string engineText(std::uint32_t result) {
    const std::string& text = NRFGetErrorText();
    return text.empty() ? "The engine failed with result " + std::to_string(result) + "." : text;
}

// Result codes beside the engine's: a file that cannot be written, a template that cannot be applied.
constexpr std::uint32_t kUnwritable = 6;
constexpr std::uint32_t kNotApplied = 1;

} // namespace

ApplyToSelectedThread::ApplyToSelectedThread(std::vector<std::string> paths, IPTCRec stationery,
                                             ProgressDialogInterface* progress)
    : CProgressInfo(progress, true, false), m_paths(std::move(paths)), m_stationery(std::move(stationery)) {}

ApplyToSelectedThread::~ApplyToSelectedThread() {
    CancelAndJoin();
    // The thread commits before it ends; what an exception left behind is discarded.
    m_batch.reset();
    m_open.clear();
    m_locks.unlockAll();
}

std::size_t ApplyToSelectedThread::FailedCount() const {
    return static_cast<std::size_t>(std::count_if(
        m_results.begin(), m_results.end(), [](const PhotoResult& r) { return r.reached && r.result != 0; }));
}

void ApplyToSelectedThread::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        BeginBackgroundWork();
        Run();
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in ApplyToSelectedThread::operator() %s", e.what());
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    } catch (...) {
        LUMO_LOG("Unexpected exception in ApplyToSelectedThread::operator()");
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    try {
        Commit();
        EndBackgroundWork();
    } catch (...) {
        LUMO_LOG("Unexpected exception in ApplyToSelectedThread::operator()");
    }
    progress.SetFinished(true);
}

void ApplyToSelectedThread::Run() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    progress.SetMessage(ApplyTemplateText::kPreparing);
    m_results.resize(m_paths.size());
    for (std::size_t i = 0; i < m_paths.size(); ++i)
        m_results[i].path = m_paths[i];
    if (const std::string refusal = IPTCCheckStationerySelfVariables(m_stationery); !refusal.empty()) {
        ErrorReporter::DoMessageBox(refusal);
        progress.SetStatus(ProgressDialogInterface::kStatusError);
        return;
    }
    // The settings are read once, when the run starts.
    m_saving = IPTCSaveSettingsFromPreferences();
    m_encoding = IPTCEncodingSettingsFromPreferences();
    m_sequence = IPTCHaveSequenceVar(m_stationery);
    m_geocode = IPTCHaveReverseGeocoding(m_stationery);

    progress.SetTitle(ApplyTemplateText::kApplying);
    progress.SetMessage(ApplyTemplateText::kApplying);
    for (std::size_t i = 0; i < m_paths.size(); ++i) {
        if (progress.IsCancelled())
            break;
        progress.SetMessage(ApplyTemplateText::kApplyingTo + fileNameOf(m_paths[i]));
        PhotoResult& result = m_results[i];
        ApplyToPhoto(result, i);
        if (progress.IsCancelled())
            break; // the user declined to go on without reverse geocoding
        if (result.result != 0) {
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
            if (!GoOnAfterFailure(i))
                break;
        } else if (m_open.size() >= kFilesPerBatch) {
            Commit();
        }
        progress.SetPercent(static_cast<unsigned>((i + 1) * 100 / m_paths.size()));
    }
    Commit();

    const std::size_t failed = FailedCount();
    if (failed > 0) {
        if (progress.GetStatus() == 0)
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
        char text[160];
        std::snprintf(text, sizeof text, ApplyTemplateText::kCannotCaption,
                      static_cast<unsigned long>(failed), static_cast<unsigned long>(m_paths.size()));
        ErrorReporter::DoMessageBox(text);
    }
}

bool ApplyToSelectedThread::GoOnAfterFailure(std::size_t index) {
    const std::size_t remaining = m_paths.size() - index - 1;
    if (remaining == 0)
        return true;
    // The photos before it take their places first: the user may stop here.
    Commit();
    char question[160];
    std::snprintf(question, sizeof question, ApplyTemplateText::kApplyToRemaining,
                  static_cast<unsigned long>(remaining), remaining == 1 ? "" : "s");
    if (ErrorReporter::DoMessageBox(question, MessageBoxButtons::YesNo) == MessageBoxAnswer::Yes)
        return true;
    m_pProgressDlg->SetCancelled(true);
    return false;
}

void ApplyToSelectedThread::Fail(PhotoResult& result, std::uint32_t code, const std::string& path,
                                 bool engine) {
    result.result = code;
    if (engine)
        result.error = m_describeFailure ? m_describeFailure(code, path) : engineText(code);
    LUMO_LOG("ApplyToSelectedThread::ApplyToPhoto(%s) %s", path.c_str(), result.error.c_str());
}

void ApplyToSelectedThread::ApplyToPhoto(PhotoResult& result, std::size_t index) {
    const std::string& path = result.path;
    result.reached = true;
    m_locks.lock(path, [this] { Commit(); });
    // A file whose name no reader knows is no photo: the engine would open it as a proxy, which keeps
    // no metadata.
    NRFImageInfoRef image;
    NRFFileType type = 0;
    NRFErr err = NRFGetType(path.c_str(), &type, false);
    if (err == kNRFErrNone)
        err = NRFOpenImage(path.c_str(), type, &image);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(image.get());
    IPTCRec record;
    if (err == kNRFErrNone)
        err = NRFLoadIPTC(image.get(), &record);
    const auto done = [&] {
        if (m_batch && image)
            m_open.push_back(std::move(image)); // read again when the batch commits
        else if (image)
            NRFCloseImage(&image);
        if (!m_batch)
            m_locks.unlockAll();
    };
    if (err != kNRFErrNone) {
        Fail(result, err, path, true);
        done();
        return;
    }

    if (std::string refusal = IPTCReadOnlySaveRefusal(*image, m_saving); !refusal.empty()) {
        result.result = kUnwritable;
        result.error = std::move(refusal);
        done();
        return;
    }

    std::optional<IPTCLocation> place;
    if (m_geocode) {
        place = IPTCReverseGeocode(*image);
        if (!place) {
            Commit();
            m_locks.lock(path, [this] { Commit(); });
            if (ErrorReporter::DoMessageBox(ApplyTemplateText::kGeocodingFailed, MessageBoxButtons::YesNo) !=
                MessageBoxAnswer::Yes) {
                result.reached = false;
                m_pProgressDlg->SetCancelled(true);
                done();
                return;
            }
            m_geocode = false;
            m_stationery.m_reverseGeocodingApply.fill(false);
        }
    }
    const IPTCRec& stationery = m_stationery;

    const StationeryDateInfo date = StationeryDateInfoFor(image.get());
    VariableContext context;
    context.image = image.get();
    context.total = static_cast<std::uint32_t>(m_paths.size());
    context.index = static_cast<std::uint32_t>(index + 1);
    // Each photo takes its sequence number when it is worked on (a photo that fails gives it back), so
    // that no number is lost and another operation running meanwhile never gets the same one.
    SequenceReservation reservation;
    if (m_sequence) {
        reservation = ReserveSequenceNumbers(SequenceKind::Sequence, 1);
        context.sequence = reservation.first;
        context.sequenceDigits = reservation.digits;
    }
    const auto giveBack = [&reservation] {
        if (reservation.count)
            ReleaseUnusedSequenceNumbers(reservation, 0);
    };
    std::string message;
    if (const int applied = IPTCApplyStationery(stationery, record, date, context, &message); applied != 0) {
        giveBack();
        result.result = kNotApplied;
        result.error = message.empty() ? "The Metadata (IPTC) Template could not be applied (error " +
                                             std::to_string(applied) + ")."
                                       : message;
        done();
        return;
    }
    // The place fills what the template asks of it (over the template's own values).
    if (place)
        IPTCApplyReverseGeocoding(stationery, record, *place);
    // The photo state goes with the record; only what the template applies changes.
    if (stationery.m_colorClassApply)
        image->m_colorClass =
            static_cast<std::int16_t>(std::clamp(std::atoi(record.m_colorClass.c_str()), 0, 8));
    if (stationery.m_ratingApply)
        image->m_rating = static_cast<std::int16_t>(std::clamp(std::atoi(record.m_rating.c_str()), 0, 5));
    if (stationery.m_tagApply)
        image->m_tag = record.m_tagged == "1";
    if (!m_batch)
        m_batch = std::make_unique<NRFMetadataCommit>();
    IPTCSaveReport report;
    if (const NRFErr saved = DoSaveIPTC(image.get(), record, m_saving, m_encoding, m_batch.get(), &report);
        saved != kNRFErrNone) {
        giveBack();
        Fail(result, saved, path, true);
        done();
        return;
    }
    result.wroteFile = report.m_wroteFile;
    if (report.m_wroteSidecar)
        result.sidecar = report.m_sidecarPath;
    m_pending.push_back(index);
    done();
}

// Puts every file waiting in the batch in place of its original. A file the commit could not put in
// place keeps its original and fails.
void ApplyToSelectedThread::Commit() {
    if (!m_batch) {
        m_locks.unlockAll();
        return;
    }
    std::vector<std::string> failed;
    const int error = m_batch->commit(&failed);
    for (const std::string& path : failed)
        for (const std::size_t index : m_pending) {
            PhotoResult& result = m_results[index];
            if (result.path != path && result.sidecar != path)
                continue;
            result.result = kUnwritable;
            result.error = "The new version of '" + path + "' could not take its place (" +
                           std::strerror(error != 0 ? error : EIO) + "); it is as it was";
        }
    m_pending.clear();
    m_batch.reset();
    for (NRFImageInfoRef& image : m_open)
        NRFCloseImage(&image);
    m_open.clear();
    m_locks.unlockAll();
}

std::unique_ptr<ApplyToSelectedThread> DoApplyStationeryPadToSelected(std::vector<std::string> paths,
                                                                      const IPTCRec& stationery,
                                                                      ProgressDialogInterface* progress) {
    auto thread = std::make_unique<ApplyToSelectedThread>(std::move(paths), stationery, progress);
    if (!thread->Start())
        return nullptr;
    return thread;
}
