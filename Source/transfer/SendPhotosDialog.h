#pragma once

// Send photos by e-mail: each photo rendered into a JPEG attachment in the program's cache
// (ScaleCopyThread), then sent (EmailThread) either through the desktop's mail program (xdg-email,
// which shows each message in the mail program's window) or by SMTP, which the catalog service
// carries out ("sendemail").

#include "archive/VObject.h"
#include "background/ProgressInfo.h"
#include "fileops/SaveAsThread.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class CLumoApp;

namespace SendPhotosText {
inline constexpr char kProcessing[] = "Processing selected Photos...";
inline constexpr char kProcessingOne[] = "Processing ";
inline constexpr char kNothingSelected[] = "ScaleCopyThread() nothing selected, exiting";
inline constexpr char kSessionFailed[] =
    "ScaleCopyThread() build of session path for email attachments failed";
inline constexpr char kNoImageInfo[] = "ScaleCopyThread::ScaleAndSaveFile couldn't get image info pointer.";
inline constexpr char kNoBitmap[] = "ScaleCopyThread::ScaleAndSaveFile failed to load scaled/cropped bitmap";
inline constexpr char kNoIPTC[] = "ScaleCopyThread::ScaleAndSaveFile couldn't allocate IPTC record";
inline constexpr char kNoUniqueName[] = "ScaleCopyThread::ScaleAndSaveFile couldn't get unique name";
inline constexpr char kCopyFailed[] = "ScaleCopyThread::ScaleAndSaveFile, error copying image file to cache.";
inline constexpr char kAttachmentFailed[] =
    "ScaleCopyThread() ScaleAndSaveFile() failed for email attachment";

inline constexpr char kSending[] = "Sending email...";
inline constexpr char kSendingOne[] = "Sending ";
inline constexpr char kSendingAll[] = "Sending all images as a single email";
inline constexpr char kNoPlatformLog[] =
    "Cannot send email via SMTP because the dyn platform is not enabled.";
inline constexpr char kNoPlatform[] = "Unable to send email via SMTP.  Please enable the\nReverse Geocoding "
                                      "subsystem in the GPS\npage of the preferences dialog.";
inline constexpr char kSmtpException[] = "Unknown exception when sending email via SMTP";
inline constexpr char kSmtpFailed[] = "Unable to send email via SMTP:\n";
// The mail program's hand-over (xdg-email stands where the system's mail interface was).
inline constexpr char kNoMailProgram[] =
    "Error: xdg-email not installed.  This feature\nhands the message to your mail program through\n"
    "xdg-email, which comes with the xdg-utils package.\nInstall xdg-utils or send by SMTP instead.";
inline constexpr char kMailProgramFailed[] =
    "Error: Unable to send email via the mail program.  This feature\nneeds a desktop mail program that "
    "xdg-email can open\n(set as the default mail program).\nError:0x%08X";
inline constexpr char kNoRecipients[] = "No recipient given: fill in To, Cc or Bcc.";
} // namespace SendPhotosText

// The options of sending photos, kept in the settings under the "SendPhotos..." keys and as the
// dialog's snapshot "SendPhotosSettings".
struct EmailOptions {
    // The attachments.
    int imageSizeRadio = kScaleBox; // a SaveAsScaleType: 0 full size, 1 percentage, 2 box, 3 custom
    int scalePercentage = 50;
    std::int64_t customWidth = 1024, customHeight = 768;
    std::uint32_t boxSize = 1024;
    int jpegQuality = 85;
    int minJpegQuality = 30; // the lowest quality the size limit may go to
    bool limitJPEGActive = false;
    std::uint64_t limitJPEGSizeKB = 500;
    bool subsampleChroma = true;
    bool applyCrop = false;
    bool sharpen = false;
    bool convertToSRGB = true;
    bool preserveExif = true;
    bool watermark = false;
    std::string watermarkImage, watermarkText; // "SendPhotosWatermarkSettings": image, text, opacity
    double watermarkOpacity = 0.5;

    // The message.
    std::string to, cc, bcc, subject, body;
    bool reviewBeforeSending = true;
    bool separateEmails = false;
    bool viaMailProgram = true; // "SendPhotosViaMAPI": the mail program; else SMTP

    // The SMTP account.
    std::string smtpFrom, smtpUser, smtpPassword, smtpServer, smtpReplyTo, smtpCAFile;
    int smtpPort = 587;
    bool smtpRequireTLS = false; // STARTTLS is always used when the server offers it

    // The save-as options that render one attachment into `folder`.
    SaveAsOptions ToSaveAsOptions(const std::string& folder) const;
    // The "sendemail" records: message (toRecipients, ccRecipients, bccRecipients, messageSubject,
    // messageBody, attachments) and account (from, password, smtp_server, smtp_port, replyto; and user,
    // require_tls, ca_file).
    CILA::VObject MessageRecord(const std::vector<std::string>& attachments) const;
    CILA::VObject AccountRecord() const;
    // The snapshot "SendPhotosSettings" (ImageSizeRadio, CustomWidth ... smtpReplyTo).
    CILA::VObject Snapshot() const;
    static EmailOptions FromSnapshot(const CILA::VObject& snapshot);
};

// The options from the preferences (defaults for what is missing); the preferences need not be open.
EmailOptions EmailOptionsFromPreferences();
// Stores every option under its key and the snapshot. A password stored makes the preferences file
// readable by its owner only. False when the preferences are not open or refused a value.
bool EmailOptionsToPreferences(const EmailOptions& options);

// The addresses of a To, Cc or Bcc field: separated by commas, semicolons or line ends; each trimmed of
// spaces, empty ones dropped. ("Name <address>" stays one address.)
std::vector<std::string> SplitRecipients(const std::string& field);

// The folder below the cache folder that holds the attachments' session folders.
std::string EmailAttachmentsFolder();
// Removes what earlier runs left in EmailAttachmentsFolder() (start-up), and the folder itself unless
// it holds the session of another running process (named after its pid: lumo commands may run side by
// side). The number of entries removed; -1 when one could not be removed.
int RemoveEmailAttachmentLeftovers();
// Adds that clean-up to start-up ("Cleanup leftovers").
void addEmailAttachmentCleanupService(CLumoApp& app);

// Renders each photo into a JPEG attachment in a new session folder below EmailAttachmentsFolder().
// A photo that fails is skipped (logged); the others go on.
class ScaleCopyThread : public CProgressInfo {
public:
    ScaleCopyThread(std::vector<std::string> paths, EmailOptions options,
                    ProgressDialogInterface* progress = nullptr);
    ~ScaleCopyThread() override;

    // The attachments made, in the photos' order.
    const std::vector<std::string>& Attachments() const { return m_attachments; }
    // Per photo: the failure text (empty when its attachment was made).
    const std::vector<std::string>& Failures() const { return m_failures; }
    const std::string& SessionFolder() const { return m_sessionFolder; }
    // Removes the session folder and its attachments.
    void RemoveSession();

protected:
    void operator()() override;
    const char* ThreadName() const override { return "ScaleCopy"; }

private:
    // One photo into the session folder; empty, or the failure text.
    std::string ScaleAndSaveFile(SaveAsThread& renderer, const std::string& path, std::uint32_t index);

    std::vector<std::string> m_paths;
    EmailOptions m_options;
    std::string m_sessionFolder;
    std::vector<std::string> m_attachments;
    std::vector<std::string> m_failures;
};

// Sends the attachments: one message with all of them, or one per attachment.
class EmailThread : public CProgressInfo {
public:
    static constexpr std::chrono::seconds kSMTPTimeout{60};

    EmailThread(std::vector<std::string> attachments, EmailOptions options,
                ProgressDialogInterface* progress = nullptr);
    ~EmailThread() override;

    // The messages handed over (to the mail program or the SMTP server) and those planned.
    std::size_t MessagesSent() const { return m_sent; }
    std::size_t MessagesPlanned() const { return m_planned; }
    // The failure that ended the sending, as the user is told it; empty when all went.
    const std::string& ErrorMessage() const { return m_error; }

    // The mail program hand-over: the program (xdg-email, found on PATH; empty when missing) and its
    // arguments for one message.
    static std::string MailProgram();
    static std::vector<std::string> MailProgramArguments(const EmailOptions& options,
                                                         const std::vector<std::string>& attachments);

protected:
    void operator()() override;
    const char* ThreadName() const override { return "Email"; }

private:
    // One message; false with m_error set when it failed.
    bool SendOne(const std::vector<std::string>& attachments, const std::string& what);
    bool SendViaMailProgram(const std::vector<std::string>& attachments, const std::string& what);
    bool SendViaSMTP(const std::vector<std::string>& attachments);

    std::vector<std::string> m_attachments;
    EmailOptions m_options;
    std::size_t m_sent = 0, m_planned = 0;
    std::string m_error;
};
