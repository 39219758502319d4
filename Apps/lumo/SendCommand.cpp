// lumo send: photos e-mailed as JPEG attachments, rendered like save as, through the desktop's mail
// program (xdg-email) or by SMTP through the catalog service.

#include "AppSession.h"
#include "Commands.h"
#include "DestinationArguments.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "PhotoOperation.h"
#include "ScaleArguments.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "support/FileIO.h"
#include "transfer/SendPhotosDialog.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct SendCommandOptions {
    FileArguments files;
    ScaleArguments scale;
    std::string to, cc, bcc, subject, body;
    bool separate = false, smtp = false, mailClient = false, review = false;
    std::string server, from, user, replyTo, caFile;
    bool passwordStdin = false, starttls = false, saveAccount = false;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

// "HOST" or "HOST:PORT" (a bracketed IPv6 address may carry a port too).
bool parseServer(const std::string& text, std::string& host, int& port) {
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            portText = text.substr(close + 2);
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    } else {
        host = text;
    }
    if (host.empty())
        return false;
    if (portText.empty())
        return true;
    try {
        std::size_t used = 0;
        port = std::stoi(portText, &used);
        return used == portText.size() && port >= 1 && port <= 65535;
    } catch (const std::exception&) {
        return false;
    }
}

// The command line over the saved options; false with the usage problem.
bool applyArguments(const SendCommandOptions& options, EmailOptions& email, std::string& problem) {
    if (options.smtp && options.mailClient) {
        problem = "give one of --smtp and --mail-client";
        return false;
    }
    SaveAsOptions render = email.ToSaveAsOptions({});
    if (!options.scale.apply(render, problem))
        return false;
    email.imageSizeRadio = render.scaleType;
    email.scalePercentage = static_cast<int>(std::lround(render.scalePercentage));
    email.boxSize = render.scaleBoxSize;
    email.customWidth = render.customWidth;
    email.customHeight = render.customHeight;
    email.jpegQuality = render.jpegQuality;
    email.subsampleChroma = render.subsampleChroma;
    email.limitJPEGActive = render.limitJPEGSize;
    email.limitJPEGSizeKB = render.limitJPEGSizeKB;
    email.applyCrop = render.applyCrop;
    email.convertToSRGB = render.convertToSRGB;
    email.sharpen = render.sharpenPixels;
    email.preserveExif = render.preserveExif;
    email.watermark = render.watermark;
    email.watermarkImage = render.watermarkImage;
    email.watermarkText = render.watermarkText;
    email.watermarkOpacity = render.watermarkOpacity;

    email.to = options.to;
    email.cc = options.cc;
    email.bcc = options.bcc;
    email.subject = options.subject;
    email.body = options.body;
    email.separateEmails = options.separate;
    email.reviewBeforeSending = options.review;
    if (options.smtp || !options.server.empty())
        email.viaMailProgram = false;
    else if (options.mailClient)
        email.viaMailProgram = true;
    if (!options.server.empty() && !parseServer(options.server, email.smtpServer, email.smtpPort)) {
        problem = "--server is HOST or HOST:PORT, not \"" + options.server + "\"";
        return false;
    }
    if (!options.from.empty())
        email.smtpFrom = options.from;
    if (!options.user.empty())
        email.smtpUser = options.user;
    if (!options.replyTo.empty())
        email.smtpReplyTo = options.replyTo;
    if (!options.caFile.empty())
        email.smtpCAFile = absolutePath(options.caFile);
    if (options.starttls)
        email.smtpRequireTLS = true;
    if (options.passwordStdin) {
        std::string password;
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        email.smtpPassword = password;
    }
    if (!email.viaMailProgram && (email.smtpServer.empty() || email.smtpFrom.empty())) {
        problem = "sending by SMTP needs --server and --from (or an account saved with --save-account)";
        return false;
    }
    return true;
}

int runSend(const CommonOptions& common, const SendCommandOptions& options) {
    if (options.files.empty() && !options.saveAccount)
        return noFilesGiven();
    const bool mayUseSmtp = !options.mailClient;
    AppSession session(common,
                       kImageEngineService | kPreferencesService | (mayUseSmtp ? kCatalogService : 0u));
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    EmailOptions email = EmailOptionsFromPreferences();
    if (options.saveAccount && !options.smtp && !options.mailClient && options.server.empty())
        email.viaMailProgram = false; // saving an account: what follows sends by SMTP
    if (std::string problem; !applyArguments(options, email, problem))
        return usage(problem);
    if (options.saveAccount) {
        if (!EmailOptionsToPreferences(email))
            return commandFailed(common, kResultUnexpected, "the SMTP account could not be saved");
        if (!common.quiet && !common.json)
            std::fprintf(stderr, "lumo: the SMTP account of %s on %s:%d is saved%s\n",
                         oneLine(email.smtpFrom).c_str(), oneLine(email.smtpServer).c_str(), email.smtpPort,
                         email.smtpPassword.empty() ? "" : " (the preferences file is readable by you only)");
        if (options.files.empty())
            return kExitDone;
    }

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    const std::vector<std::string> paths = options.files.readablePaths(status, all);
    if (paths.empty())
        return finishPhotoCommand(common, all, 0, status);

    ProgressDialogInterface rendering;
    ScaleCopyThread scaler(paths, email, &rendering);
    if (!scaler.Start())
        return commandFailed(common, kResultUnexpected, "the operation could not be started");
    TerminalProgressWindow(rendering, "Preparing", common.quiet || paths.size() < 2 ? nullptr : stderr).run();
    scaler.Join();
    if (rendering.GetStatus() == ProgressDialogInterface::kStatusCancelled) {
        scaler.RemoveSession();
        return finishPhotoCommand(common, all, rendering.GetStatus(), status);
    }
    std::vector<std::string> attachmentOf(paths.size());
    for (std::size_t i = 0, made = 0; i < scaler.Failures().size(); ++i) {
        if (!scaler.Failures()[i].empty()) {
            status = kExitSomeFailed;
            reportFailure(paths[i], scaler.Failures()[i]);
            all.push_back(failureJson(paths[i], 6, scaler.Failures()[i]));
        } else {
            attachmentOf[i] = scaler.Attachments().at(made++);
        }
    }
    if (scaler.Attachments().empty())
        return finishPhotoCommand(common, all, 0, kExitSomeFailed);

    if (email.viaMailProgram && !email.reviewBeforeSending && !common.quiet)
        std::fprintf(stderr, "lumo: the mail program shows each message; send it from there\n");
    ProgressDialogInterface sending;
    EmailThread mailer(scaler.Attachments(), email, &sending);
    if (!mailer.Start())
        return commandFailed(common, kResultUnexpected, "the operation could not be started");
    TerminalProgressWindow(sending, "Sending",
                           common.quiet || mailer.MessagesPlanned() < 2 ? nullptr : stderr)
        .run();
    mailer.Join();
    // The mail program may read the attachments after xdg-email has returned: they stay until the next
    // start-up's clean-up. Sent by SMTP, they are done with.
    if (!email.viaMailProgram)
        scaler.RemoveSession();
    if (!mailer.ErrorMessage().empty()) {
        status = kExitSomeFailed;
        reportFailure({}, mailer.ErrorMessage());
    }

    // Separately sent, the messages went in order until the first failure.
    const std::size_t sent = mailer.MessagesSent();
    for (std::size_t i = 0, n = 0; i < paths.size(); ++i) {
        if (attachmentOf[i].empty())
            continue;
        const bool wentOut = email.separateEmails ? n++ < sent : sent != 0;
        std::uint64_t bytes = 0;
        lumo::fileSize(attachmentOf[i], bytes);
        all.push_back({{"path", paths[i]},
                       {"attachment", std::filesystem::path(attachmentOf[i]).filename().string()},
                       {"bytes", bytes},
                       {"sent", wentOut}});
        if (!common.json && !common.quiet)
            std::printf("%s: %s (%ju KB)\n", oneLine(paths[i]).c_str(),
                        wentOut ? (email.viaMailProgram ? "handed to the mail program" : "sent") : "not sent",
                        static_cast<std::uintmax_t>((bytes + 1023) / 1024));
    }
    return finishPhotoCommand(
        common, all,
        sending.GetStatus() == ProgressDialogInterface::kStatusCancelled ? sending.GetStatus() : 0, status);
}

} // namespace

void addSendCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<SendCommandOptions>();
    CLI::App* command =
        lumo.add_subcommand("send", "E-mail photos as JPEG attachments, through the mail program or by SMTP");
    options->files.addTo(*command);
    command->add_option("--to", options->to, "Recipients (separated by commas or semicolons)")
        ->type_name("ADDR");
    command->add_option("--cc", options->cc, "Copy recipients")->type_name("ADDR");
    command->add_option("--bcc", options->bcc, "Blind copy recipients (never in the message)")
        ->type_name("ADDR");
    command->add_option("--subject", options->subject, "The subject")->type_name("S");
    command->add_option("--body", options->body, "The message text")->type_name("B");
    command->add_flag("--separate", options->separate, "One message per photo");
    command->add_flag("--smtp", options->smtp, "Send by SMTP (the saved account, or --server and --from)");
    command->add_flag("--mail-client", options->mailClient, "Hand the message to the desktop's mail program");
    command->add_flag(
        "--review", options->review,
        "Review in the mail program first (it always shows the message; this only quiets the note)");
    command->add_option("--server", options->server, "SMTP server (port 587 unless given)")
        ->type_name("HOST[:PORT]");
    command->add_option("--from", options->from, "SMTP sender address")->type_name("ADDR");
    command->add_option("--user", options->user, "SMTP login name (the sender address unless given)")
        ->type_name("U");
    command->add_flag("--password-stdin", options->passwordStdin,
                      "Read the SMTP password from standard input");
    command->add_flag("--starttls", options->starttls,
                      "Refuse a server without STARTTLS (it is used whenever offered)");
    command->add_option("--reply-to", options->replyTo, "Reply-To address")->type_name("ADDR");
    command
        ->add_option("--ca-file", options->caFile, "Trust the SMTP server's certificate from this PEM file")
        ->type_name("PEM");
    command->add_flag("--save-account", options->saveAccount,
                      "Save the SMTP account (and the sizes) for later runs; without files, only that");
    options->scale.quality = 85;
    options->scale.addTo(*command);
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runSend(common, *options); }; });
}
