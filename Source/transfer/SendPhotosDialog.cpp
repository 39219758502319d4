#include "transfer/SendPhotosDialog.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "dyn_platform/CatalogProtocol.h"
#include "dyn_platform/DynPlatform.h"
#include "support/FileIO.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

extern char** environ;

using CILA::VObject;

namespace {

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

VObject stringList(const std::vector<std::string>& items) {
    VObject list = VObject::makeVector();
    for (const std::string& item : items)
        list.append(item);
    return list;
}

// Each option under its snapshot name and its preference key, so that one table serves both.
template <typename Fn>
void eachOption(EmailOptions& o, Fn&& fn) {
    fn("ImageSizeRadio", kPrefSendPhotosImageRadioValue, o.imageSizeRadio);
    fn("ScalePercentage", kPrefSendPhotosScalePercentage, o.scalePercentage);
    fn("CustomWidth", kPrefSendPhotosCustomWidth, o.customWidth);
    fn("CustomHeight", kPrefSendPhotosCustomHeight, o.customHeight);
    fn("BoxSize", kPrefSendPhotosBoxSize, o.boxSize);
    fn("JpegQuality", kPrefSendPhotosJPEGQuality, o.jpegQuality);
    fn("JpegMinQuality", kPrefSendPhotosMinJPEGQuality, o.minJpegQuality);
    fn("LimitJPEGSizeEnabled", kPrefSendPhotosLimitJPEGActive, o.limitJPEGActive);
    fn("LimitJPEGSize", kPrefSendPhotosLimitJPEGSize, o.limitJPEGSizeKB);
    fn("SubsampleChroma", kPrefSendPhotosSubsampleChroma, o.subsampleChroma);
    fn("ApplyCropCheckbox", kPrefSendPhotosApplyCrop, o.applyCrop);
    fn("SharpenCheckbox", kPrefSendPhotosSharpen, o.sharpen);
    fn("PreserveEXIFCheckbox", kPrefSendPhotosPreserveExif, o.preserveExif);
    fn("ConvertToSRGBCheckbox", kPrefSendPhotosConvertToSRGB, o.convertToSRGB);
    fn("Watermark", kPrefSendPhotosWatermark, o.watermark);
    fn("SendSeparateEmailsCheckbox", kPrefSendPhotosAsSeparateEmails, o.separateEmails);
    fn("ReviewInEmailClientCheckbox", kPrefSendPhotosReviewEmailBeforeSending, o.reviewBeforeSending);
    fn("SendEmailViaCombo", kPrefSendPhotosViaMAPI, o.viaMailProgram);
    fn("RecipientsTo", kPrefSendPhotosTo, o.to);
    fn("RecipientsCC", kPrefSendPhotosCC, o.cc);
    fn("RecipientsBCC", kPrefSendPhotosBCC, o.bcc);
    fn("MessageSubject", kPrefSendPhotosSubject, o.subject);
    fn("MessageBody", kPrefSendPhotosBody, o.body);
    fn("smtpFrom", kPrefSendPhotosSMTPFrom, o.smtpFrom);
    fn("smtpUser", kPrefSendPhotosSMTPUser, o.smtpUser);
    fn("smtpPassword", kPrefSendPhotosSMTPPassword, o.smtpPassword);
    fn("smtpServer", kPrefSendPhotosSMTPServer, o.smtpServer);
    fn("smtpPort", kPrefSendPhotosSMTPPort, o.smtpPort);
    fn("smtpReplyTo", kPrefSendPhotosSMTPReplyTo, o.smtpReplyTo);
    fn("smtpRequireTLS", kPrefSendPhotosSMTPRequireTLS, o.smtpRequireTLS);
    fn("smtpCAFile", kPrefSendPhotosSMTPCAFile, o.smtpCAFile);
}

// A stored value into a field of its type; values of another type leave the field as it is.
void readValue(const VObject& v, bool& field) {
    if (v.dataType() == VObject::DT_BOOL || v.dataType() == VObject::DT_INTEGER)
        field = v.getbool();
}
void readValue(const VObject& v, std::string& field) {
    if (v.dataType() == VObject::DT_STR)
        field = v.getstr();
}
template <typename T>
void readValue(const VObject& v, T& field) {
    if (v.dataType() == VObject::DT_INTEGER && v.getint() >= 0)
        field = static_cast<T>(v.getint());
}
VObject valueOf(bool field) {
    return VObject(field);
}
VObject valueOf(const std::string& field) {
    return VObject(field);
}
template <typename T>
VObject valueOf(T field) {
    return VObject(static_cast<std::int64_t>(field));
}

VObject watermarkSettings(const EmailOptions& o) {
    VObject settings = VObject::makeHash();
    settings.store("image", o.watermarkImage);
    settings.store("text", o.watermarkText);
    settings.store("opacity", o.watermarkOpacity);
    return settings;
}

void readWatermarkSettings(const VObject& settings, EmailOptions& o) {
    if (const VObject* v = settings.fetch("image"))
        readValue(*v, o.watermarkImage);
    if (const VObject* v = settings.fetch("text"))
        readValue(*v, o.watermarkText);
    if (const VObject* v = settings.fetch("opacity"); v && v->dataType() == VObject::DT_DOUBLE)
        o.watermarkOpacity = v->getdouble();
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The session folder: "EmailSession_<pid>_<milliseconds since start-up>_<counter>", made here and new.
// The pid tells the start-up clean-up of another process which sessions are still in use.
std::string makeSessionFolder() {
    static std::atomic<unsigned> counter{0};
    const std::string parent = EmailAttachmentsFolder();
    if (parent.empty() || lumo::createDirectories(parent) != 0)
        return {};
    const auto uptime = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "EmailSession_%u_%u_%u", static_cast<unsigned>(::getpid()),
                      static_cast<unsigned>(uptime.count()), counter++);
        const std::string folder = parent + "/" + name;
        if (::mkdir(folder.c_str(), 0700) == 0)
            return folder;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

// The text of a failure of the save-as renderer, as the user reads it.
const char* scaleCopyFailure(const std::string& renderFailure) {
    if (renderFailure.find("couldn't get image info") != std::string::npos)
        return SendPhotosText::kNoImageInfo;
    if (renderFailure.find("could not load image data") != std::string::npos)
        return SendPhotosText::kNoBitmap;
    if (renderFailure.find("IPTC Record") != std::string::npos)
        return SendPhotosText::kNoIPTC;
    if (renderFailure.find("unique filename") != std::string::npos)
        return SendPhotosText::kNoUniqueName;
    return SendPhotosText::kCopyFailed;
}

// Runs a program to its end; its exit status, 127 when it could not be started, 128 + signal.
int runProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return 127;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return 127;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}

} // namespace

SaveAsOptions EmailOptions::ToSaveAsOptions(const std::string& folder) const {
    SaveAsOptions save;
    save.saveAsType = kSaveAsJPEG;
    save.destinationType = 0;
    save.destinationFolder = folder;
    save.scaleType = imageSizeRadio;
    save.scalePercentage = scalePercentage;
    save.scaleBoxSize = boxSize;
    save.customWidth = customWidth;
    save.customHeight = customHeight;
    save.jpegQuality = jpegQuality;
    save.subsampleChroma = subsampleChroma;
    save.limitJPEGSize = limitJPEGActive && limitJPEGSizeKB != 0;
    save.limitJPEGSizeKB = limitJPEGSizeKB;
    save.applyCrop = applyCrop;
    save.sharpenPixels = sharpen;
    save.convertToSRGB = convertToSRGB;
    save.preserveExif = preserveExif;
    save.watermark = watermark && (!watermarkImage.empty() || !watermarkText.empty());
    save.watermarkImage = watermarkImage;
    save.watermarkText = watermarkText;
    save.watermarkOpacity = watermarkOpacity;
    save.applyStationeryPad = false;
    return save;
}

VObject EmailOptions::MessageRecord(const std::vector<std::string>& attachments) const {
    VObject message = VObject::makeHash();
    message.store("toRecipients", stringList(SplitRecipients(to)));
    message.store("ccRecipients", stringList(SplitRecipients(cc)));
    message.store("bccRecipients", stringList(SplitRecipients(bcc)));
    message.store("messageSubject", subject);
    message.store("messageBody", body);
    message.store("attachments", stringList(attachments));
    return message;
}

VObject EmailOptions::AccountRecord() const {
    VObject account = VObject::makeHash();
    account.store("from", smtpFrom);
    account.store("password", smtpPassword);
    account.store("smtp_server", smtpServer);
    account.store("smtp_port", smtpPort);
    account.store("replyto", smtpReplyTo);
    account.store("user", smtpUser);
    account.store("require_tls", smtpRequireTLS);
    account.store("ca_file", smtpCAFile);
    return account;
}

VObject EmailOptions::Snapshot() const {
    VObject snapshot = VObject::makeHash();
    EmailOptions copy = *this;
    eachOption(copy,
               [&](const char* name, const char*, auto& field) { snapshot.store(name, valueOf(field)); });
    snapshot.store("WatermarkSettings", watermarkSettings(*this));
    return snapshot;
}

EmailOptions EmailOptions::FromSnapshot(const VObject& snapshot) {
    EmailOptions options;
    eachOption(options, [&](const char* name, const char*, auto& field) {
        if (const VObject* v = snapshot.fetch(name))
            readValue(*v, field);
    });
    if (const VObject* v = snapshot.fetch("WatermarkSettings"))
        readWatermarkSettings(*v, options);
    return options;
}

EmailOptions EmailOptionsFromPreferences() {
    EmailOptions options;
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return options;
    eachOption(options, [&](const char*, const char* key, auto& field) {
        VObject v;
        if (preferences->getValue(key, v))
            readValue(v, field);
    });
    VObject settings;
    if (preferences->getValue(kPrefSendPhotosWatermarkSettings, settings))
        readWatermarkSettings(settings, options);
    return options;
}

bool EmailOptionsToPreferences(const EmailOptions& options) {
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return false;
    bool ok = true;
    EmailOptions copy = options;
    eachOption(copy, [&](const char*, const char* key, auto& field) {
        ok &= preferences->setValue(key, valueOf(field));
    });
    ok &= preferences->setValue(kPrefSendPhotosWatermarkSettings, watermarkSettings(options));
    ok &= preferences->setValue(kPrefSendPhotosSettings, options.Snapshot());
    ok &= preferences->save();
    if (!options.smtpPassword.empty() && ::chmod(preferences->path().c_str(), 0600) != 0) {
        LUMO_LOG("EmailOptionsToPreferences: cannot make '%s' private: %s", preferences->path().c_str(),
                 std::strerror(errno));
        ok = false;
    }
    return ok;
}

std::vector<std::string> SplitRecipients(const std::string& field) {
    std::vector<std::string> addresses;
    std::string current;
    auto finish = [&] {
        if (std::string address = trimmed(current); !address.empty())
            addresses.push_back(std::move(address));
        current.clear();
    };
    for (const char c : field) {
        if (c == ',' || c == ';' || c == '\n' || c == '\r')
            finish();
        else
            current += c;
    }
    finish();
    return addresses;
}

std::string EmailAttachmentsFolder() {
    const std::string cache = LumoPaths::imageCacheFolder();
    return cache.empty() ? std::string() : cache + "/attachments";
}

int RemoveEmailAttachmentLeftovers() {
    const std::string folder = EmailAttachmentsFolder();
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec))
        return 0;
    int removed = 0;
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        // Another lumo still at work keeps its session: "EmailSession_<pid>_...".
        const std::string name = entry.path().filename().string();
        unsigned pid = 0;
        if (std::sscanf(name.c_str(), "EmailSession_%u_", &pid) == 1 && pid != 0 &&
            static_cast<pid_t>(pid) != ::getpid() &&
            (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
            kept = true;
            continue;
        }
        std::error_code removeError;
        removed += static_cast<int>(std::filesystem::remove_all(entry.path(), removeError));
        if (removeError) {
            LUMO_LOG("RemoveEmailAttachmentLeftovers: cannot remove '%s': %s", entry.path().c_str(),
                     removeError.message().c_str());
            return -1;
        }
    }
    if (!kept)
        std::filesystem::remove(folder, ec);
    if (removed != 0)
        LUMO_LOG("RemoveEmailAttachmentLeftovers: removed %d entries below '%s'", removed, folder.c_str());
    return removed;
}

void addEmailAttachmentCleanupService(CLumoApp& app) {
    app.startupSteps().extend("Cleanup leftovers", [] {
        RemoveEmailAttachmentLeftovers();
        return true; // leftovers that stay are no reason to stop
    });
}

// ---- ScaleCopyThread

ScaleCopyThread::ScaleCopyThread(std::vector<std::string> paths, EmailOptions options,
                                 ProgressDialogInterface* progress)
    : CProgressInfo(progress), m_paths(std::move(paths)), m_options(std::move(options)) {}

ScaleCopyThread::~ScaleCopyThread() {
    CancelAndJoin();
}

void ScaleCopyThread::RemoveSession() {
    if (m_sessionFolder.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_sessionFolder, ec);
    if (ec)
        LUMO_LOG("ScaleCopyThread::RemoveSession: cannot remove '%s': %s", m_sessionFolder.c_str(),
                 ec.message().c_str());
}

std::string ScaleCopyThread::ScaleAndSaveFile(SaveAsThread& renderer, const std::string& path,
                                              std::uint32_t index) {
    const std::size_t before = renderer.SavedPaths().size();
    NRFErr result = 0;
    try {
        result = renderer.SaveFile(path, index);
    } catch (const std::exception& e) {
        LUMO_LOG("ScaleCopyThread::ScaleAndSaveFile exception: %s", e.what());
        return SendPhotosText::kCopyFailed;
    }
    if (result != 0 || renderer.SavedPaths().size() == before) {
        const std::string& why = renderer.LastFailure();
        LUMO_LOG("%s (%s)", scaleCopyFailure(why), why.c_str());
        return scaleCopyFailure(why);
    }
    m_attachments.push_back(renderer.SavedPaths().back());
    return {};
}

void ScaleCopyThread::operator()() {
    ProgressDialogInterface* progress = m_pProgressDlg;
    try {
        if (progress)
            progress->SetMessage(SendPhotosText::kProcessing);
        if (m_paths.empty()) {
            LUMO_LOG("%s", SendPhotosText::kNothingSelected);
        } else if (m_sessionFolder = makeSessionFolder(); m_sessionFolder.empty()) {
            LUMO_LOG("%s", SendPhotosText::kSessionFailed);
            if (progress) {
                progress->SetMessage(SendPhotosText::kSessionFailed);
                progress->SetStatus(ProgressDialogInterface::kStatusError);
            }
        } else {
            // The renderer's SaveFile is used directly, on this thread: it writes one photo each time.
            SaveAsThread renderer({}, m_options.ToSaveAsOptions(m_sessionFolder), progress);
            std::uint32_t index = 0;
            for (const std::string& path : m_paths) {
                if (progress && progress->IsCancelled())
                    break;
                ++index;
                if (progress)
                    progress->SetMessage(SendPhotosText::kProcessingOne + fileNameOf(path));
                std::string failure = ScaleAndSaveFile(renderer, path, index);
                if (!failure.empty()) {
                    LUMO_LOG("%s: '%s'", SendPhotosText::kAttachmentFailed, path.c_str());
                    if (progress && progress->GetStatus() == 0)
                        progress->SetStatus(ProgressDialogInterface::kStatusFailed);
                }
                m_failures.push_back(std::move(failure));
                if (progress)
                    progress->SetPercent(static_cast<unsigned>(index * 100 / m_paths.size()));
            }
        }
    } catch (const std::exception& e) {
        LUMO_LOG("ScaleCopyThread() exception: %s", e.what());
        if (progress)
            progress->SetStatus(ProgressDialogInterface::kStatusException);
    }
    if (progress)
        progress->SetFinished(true);
}

// ---- EmailThread

EmailThread::EmailThread(std::vector<std::string> attachments, EmailOptions options,
                         ProgressDialogInterface* progress)
    : CProgressInfo(progress), m_attachments(std::move(attachments)), m_options(std::move(options)) {}

EmailThread::~EmailThread() {
    CancelAndJoin();
}

std::string EmailThread::MailProgram() {
    const char* path = std::getenv("PATH");
    std::string list = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const std::string folder = list.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = folder + "/xdg-email";
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

std::vector<std::string> EmailThread::MailProgramArguments(const EmailOptions& options,
                                                           const std::vector<std::string>& attachments) {
    std::vector<std::string> args{"--utf8"};
    for (const std::string& address : SplitRecipients(options.cc)) {
        args.push_back("--cc");
        args.push_back(address);
    }
    for (const std::string& address : SplitRecipients(options.bcc)) {
        args.push_back("--bcc");
        args.push_back(address);
    }
    if (!options.subject.empty()) {
        args.push_back("--subject");
        args.push_back(options.subject);
    }
    if (!options.body.empty()) {
        args.push_back("--body");
        args.push_back(options.body);
    }
    for (const std::string& file : attachments) {
        args.push_back("--attach");
        args.push_back(file);
    }
    for (const std::string& address : SplitRecipients(options.to))
        args.push_back(address);
    return args;
}

bool EmailThread::SendViaMailProgram(const std::vector<std::string>& attachments, const std::string& what) {
    const std::string program = MailProgram();
    if (program.empty()) {
        LUMO_LOG("EmailThread: xdg-email not found on PATH");
        m_error = SendPhotosText::kNoMailProgram;
        return false;
    }
    if (!m_options.reviewBeforeSending)
        LUMO_LOG("EmailThread: the mail program always shows the message; it is sent from its window");
    LUMO_LOG("BEGIN xdg-email:%s", what.c_str());
    const int result = runProgram(program, MailProgramArguments(m_options, attachments));
    LUMO_LOG("END xdg-email:%s, result:%d", what.c_str(), result);
    if (result != 0) {
        char text[512];
        std::snprintf(text, sizeof text, SendPhotosText::kMailProgramFailed, static_cast<unsigned>(result));
        m_error = text;
        return false;
    }
    return true;
}

bool EmailThread::SendViaSMTP(const std::vector<std::string>& attachments) {
    try {
        DynPlatform& platform = DynPlatform::instance();
        if (!platform.isRunning()) {
            LUMO_LOG("%s", SendPhotosText::kNoPlatformLog);
            m_error = SendPhotosText::kNoPlatform;
            return false;
        }
        VObject args = VObject::makeVector();
        args.append(m_options.MessageRecord(attachments));
        args.append(m_options.AccountRecord());
        const DynPlatform::Reply reply = platform.request(DynProtocol::kSendEmail, args, kSMTPTimeout);
        if (reply.ok)
            return true;
        std::string why = reply.error;
        if (why.size() >= 2 && why.front() == '"' && why.back() == '"')
            why = why.substr(1, why.size() - 2);
        LUMO_LOG("EmailThread::SendViaSMTP: %s", why.c_str());
        m_error = SendPhotosText::kSmtpFailed + why;
        return false;
    } catch (...) {
        LUMO_LOG("%s", SendPhotosText::kSmtpException);
        m_error = SendPhotosText::kSmtpException;
        return false;
    }
}

bool EmailThread::SendOne(const std::vector<std::string>& attachments, const std::string& what) {
    const bool sent =
        m_options.viaMailProgram ? SendViaMailProgram(attachments, what) : SendViaSMTP(attachments);
    if (sent)
        ++m_sent;
    return sent;
}

void EmailThread::operator()() {
    ProgressDialogInterface* progress = m_pProgressDlg;
    try {
        if (progress)
            progress->SetMessage(SendPhotosText::kSending);
        const bool anyRecipient = !SplitRecipients(m_options.to).empty() ||
                                  !SplitRecipients(m_options.cc).empty() ||
                                  !SplitRecipients(m_options.bcc).empty();
        // The mail program lets the user fill the addresses in; SMTP needs them.
        if (!m_options.viaMailProgram && !anyRecipient) {
            m_error = SendPhotosText::kNoRecipients;
        } else if (m_options.separateEmails && !m_attachments.empty()) {
            m_planned = m_attachments.size();
            std::size_t done = 0;
            for (const std::string& attachment : m_attachments) {
                if (progress && progress->IsCancelled())
                    break;
                const std::string name = fileNameOf(attachment);
                if (progress)
                    progress->SetMessage(SendPhotosText::kSendingOne + name);
                if (!SendOne({attachment}, name))
                    break; // reported once, with its message
                ++done;
                if (progress)
                    progress->SetPercent(static_cast<unsigned>(done * 100 / m_planned));
            }
        } else {
            m_planned = 1;
            if (progress)
                progress->SetMessage(SendPhotosText::kSendingAll);
            LUMO_LOG("%s", SendPhotosText::kSendingAll);
            SendOne(m_attachments, "batch send");
        }
        if (progress && !m_error.empty()) {
            progress->SetMessage(m_error);
            progress->SetStatus(ProgressDialogInterface::kStatusFailed);
        } else if (progress && m_sent == m_planned) {
            progress->SetPercent(100);
        }
    } catch (const std::exception& e) {
        LUMO_LOG("EmailThread() exception: %s", e.what());
        if (progress)
            progress->SetStatus(ProgressDialogInterface::kStatusException);
    }
    if (progress)
        progress->SetFinished(true);
}
