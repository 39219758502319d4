// Sending photos by e-mail: the attachments rendered and sized in their session folder; the messages
// as a real SMTP server receives them through the catalog service (read back with Python's email
// package); the hand-over to the mail program; what the user is told when a way is missing.

#include "transfer/SendPhotosDialog.h"

#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "dyn_platform/DynPlatform.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

using lumo::test::readWholeFile;
using lumo::test::runProcess;
using lumo::test::ServerProcess;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

constexpr char kPython[] = "/usr/bin/python3";

// Reads a stored message with Python's email package: its headers, text and attachments.
constexpr char kReadMessage[] = R"(import email, email.policy, json, sys
m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
out = {k: str(m[k]) for k in ('To', 'Cc', 'Bcc', 'From', 'Reply-To', 'Subject', 'X-Injected') if m[k] is not None}
out['body'] = m.get_body(('plain',)).get_content()
out['attachments'] = [{'name': a.get_filename(), 'type': a.get_content_type(),
                       'size': len(a.get_payload(decode=True))} for a in m.iter_attachments()]
print(json.dumps(out))
)";

class SendPhotosTest : public lumo::test::PhotoEngineTest {
protected:
    void TearDown() override {
        DynPlatform::instance().dyn_platform_shutdown();
        PhotoEngineTest::TearDown();
    }

    // The photos rendered into attachments, the thread joined.
    std::unique_ptr<ScaleCopyThread> render(const std::vector<std::string>& paths, const EmailOptions& o) {
        auto thread = std::make_unique<ScaleCopyThread>(paths, o, &m_progress);
        EXPECT_TRUE(thread->Start());
        thread->Join();
        return thread;
    }

    // Sends and joins; the thread's error message.
    std::string send(const std::vector<std::string>& attachments, const EmailOptions& o,
                     std::size_t* sent = nullptr) {
        ProgressDialogInterface progress;
        EmailThread thread(attachments, o, &progress);
        EXPECT_TRUE(thread.Start());
        thread.Join();
        if (sent)
            *sent = thread.MessagesSent();
        return thread.ErrorMessage();
    }

    bool startSmtp(ServerProcess& server, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{lumo::test::testServerScript("smtp_server.py"), "--store", m_store};
        args.insert(args.end(), extra.begin(), extra.end());
        const bool started = server.start(kPython, args);
        EXPECT_TRUE(started) << server.error();
        return started;
    }

    bool startService() {
        auto& platform = DynPlatform::instance();
        EXPECT_TRUE(DynPlatform::setup_dyn_platform_environment());
        const bool up = platform.launch_dyn_platform({LUMO_CATALOGD, std::chrono::seconds(30), {}});
        EXPECT_TRUE(up) << platform.lastError();
        return up;
    }

    EmailOptions smtpOptions(int port) const {
        EmailOptions o;
        o.viaMailProgram = false;
        o.smtpServer = "127.0.0.1";
        o.smtpPort = port;
        o.smtpFrom = "Photo Desk <desk@example.com>";
        o.smtpReplyTo = "editor@example.com";
        o.to = "Ann <ann@example.com>; bob@example.com";
        o.cc = "cat@example.com";
        o.bcc = "dan@example.com";
        o.subject = "Photos from the game – 2nd half";
        o.body = "Three frames.\nCaptions inside.";
        return o;
    }

    // The messages the server stored, in order: each as Python read it, with its envelope.
    std::vector<nlohmann::json> received() {
        const std::string script = m_dir.file("read_message.py");
        writeWholeFile(script, kReadMessage);
        std::vector<nlohmann::json> out;
        for (const std::string& name : lumo::test::namesIn(m_store)) {
            if (!name.ends_with(".eml"))
                continue;
            const auto result = runProcess(kPython, {script, m_store + "/" + name});
            EXPECT_EQ(result.exitCode, 0) << result.err;
            nlohmann::json message = nlohmann::json::parse(result.out, nullptr, false);
            message["envelope"] = nlohmann::json::parse(
                readWholeFile(m_store + "/" + name.substr(0, name.size() - 4) + ".json"), nullptr, false);
            out.push_back(std::move(message));
        }
        return out;
    }

    std::vector<std::string> photos(int count) {
        std::vector<std::string> paths;
        for (int i = 1; i <= count; ++i) {
            paths.push_back(m_dir.file("P" + std::to_string(i) + ".jpg"));
            writeWholeFile(paths.back(), lumo::test::encodeJpeg(400, 300 - i * 10));
        }
        return paths;
    }

    TempDir m_dir;
    std::string m_store = m_dir.file("mail");
    ProgressDialogInterface m_progress;
};

} // namespace

TEST(SendPhotosOptions, RecipientsSplitAndSnapshotKept) {
    EXPECT_EQ(SplitRecipients(" a@x.org, b@y.org;c@z.org\n\nAnn Lee <ann@x.org> ;; "),
              (std::vector<std::string>{"a@x.org", "b@y.org", "c@z.org", "Ann Lee <ann@x.org>"}));
    EXPECT_TRUE(SplitRecipients(" ,; \n").empty());

    EmailOptions o;
    o.imageSizeRadio = kScaleCustom;
    o.customWidth = 640;
    o.to = "a@x.org";
    o.separateEmails = true;
    o.viaMailProgram = false;
    o.smtpPort = 2525;
    o.watermarkText = "(c) desk";
    const CILA::VObject snapshot = o.Snapshot();
    for (const char* key : {"ImageSizeRadio", "CustomWidth", "RecipientsTo", "SendSeparateEmailsCheckbox",
                            "SendEmailViaCombo", "smtpPort", "smtpReplyTo", "JpegMinQuality"})
        EXPECT_NE(snapshot.fetch(key), nullptr) << key;
    const EmailOptions back = EmailOptions::FromSnapshot(snapshot);
    EXPECT_EQ(back.imageSizeRadio, kScaleCustom);
    EXPECT_EQ(back.customWidth, 640);
    EXPECT_EQ(back.to, "a@x.org");
    EXPECT_TRUE(back.separateEmails);
    EXPECT_FALSE(back.viaMailProgram);
    EXPECT_EQ(back.smtpPort, 2525);
    EXPECT_EQ(back.watermarkText, "(c) desk");
}

// Each photo becomes a JPEG inside the box in a session folder below the cache's "attachments"; a photo
// that cannot be read is skipped with its failure text; a real camera file keeps its EXIF; the start-up
// clean-up removes the folder.
TEST_F(SendPhotosTest, AttachmentsRenderedSizedAndSkipped) {
    std::vector<std::string> paths = photos(2);
    paths.insert(paths.begin() + 1, m_dir.file("broken.jpg"));
    writeWholeFile(paths[1], "not a photo at all");
    const std::string camera = lumo::test::corpusFolder().empty()
                                   ? std::string()
                                   : lumo::test::corpusFolder() + "/exiv2/DSC_3079.jpg"; // 720 x 1280
    if (!camera.empty())
        paths.push_back(camera);
    EmailOptions o;
    o.imageSizeRadio = kScaleBox;
    o.boxSize = 200;
    o.limitJPEGActive = true;
    o.limitJPEGSizeKB = 20;
    auto thread = render(paths, o);

    ASSERT_EQ(thread->Failures().size(), paths.size());
    EXPECT_EQ(thread->Failures()[1], SendPhotosText::kNoImageInfo);
    ASSERT_EQ(thread->Attachments().size(), paths.size() - 1);
    const std::string session = thread->SessionFolder();
    EXPECT_EQ(std::filesystem::path(session).parent_path().string(), EmailAttachmentsFolder());
    EXPECT_EQ(std::filesystem::path(session).filename().string().rfind("EmailSession_", 0), 0u);
    EXPECT_EQ(m_progress.GetStatus(), ProgressDialogInterface::kStatusFailed);
    const std::vector<std::pair<int, int>> sizes{{200, 145}, {200, 140}, {113, 200}};
    for (std::size_t i = 0; i < thread->Attachments().size(); ++i) {
        const std::string& attachment = thread->Attachments()[i];
        EXPECT_EQ(std::filesystem::path(attachment).parent_path().string(), session);
        EXPECT_TRUE(attachment.ends_with(".jpg")) << attachment;
        std::uint64_t bytes = 0;
        ASSERT_EQ(lumo::fileSize(attachment, bytes), 0);
        EXPECT_LE(bytes, 20u * 1024) << attachment;
        if (i >= sizes.size() || (i == 2 && camera.empty()))
            continue;
        const auto info = lumo::test::exiftoolJson({"-ImageWidth", "-ImageHeight", "-Model", attachment});
        if (!info)
            continue;
        EXPECT_EQ((*info)[0].value("ImageWidth", 0), sizes[i].first) << attachment;
        EXPECT_EQ((*info)[0].value("ImageHeight", 0), sizes[i].second) << attachment;
        if (i == 2)
            EXPECT_EQ((*info)[0].value("Model", ""), "D5803");
    }
    // Start-up: sessions of this process and of processes gone are removed, that of a live one kept.
    const std::string live =
        EmailAttachmentsFolder() + "/EmailSession_" + std::to_string(::getppid()) + "_1_0";
    const std::string gone = EmailAttachmentsFolder() + "/EmailSession_999999999_1_0";
    for (const std::string& folder : {live, gone})
        writeWholeFile((std::filesystem::create_directories(folder), folder + "/a.jpg"), "x");
    EXPECT_GT(RemoveEmailAttachmentLeftovers(), 0);
    EXPECT_EQ(lumo::test::namesIn(EmailAttachmentsFolder()),
              std::vector<std::string>{std::filesystem::path(live).filename().string()});
    std::filesystem::remove_all(live);
    EXPECT_EQ(RemoveEmailAttachmentLeftovers(), 0);
    EXPECT_FALSE(std::filesystem::exists(EmailAttachmentsFolder()));
}

// One message with every attachment, then one message per attachment: recipients, Bcc only in the
// envelope, the subject (not ASCII), the body, Reply-To and the attachments as the files were.
TEST_F(SendPhotosTest, SmtpMessagesReceivedWithRecipientsAndAttachments) {
    ServerProcess server;
    if (!startSmtp(server) || !startService())
        return;
    auto thread = render(photos(2), EmailOptions{});
    const std::vector<std::string> attachments = thread->Attachments();
    ASSERT_EQ(attachments.size(), 2u);

    EmailOptions o = smtpOptions(server.port());
    std::size_t sent = 0;
    EXPECT_EQ(send(attachments, o, &sent), "");
    EXPECT_EQ(sent, 1u);
    o.separateEmails = true;
    EXPECT_EQ(send(attachments, o, &sent), "");
    EXPECT_EQ(sent, 2u);

    const std::vector<nlohmann::json> messages = received();
    ASSERT_EQ(messages.size(), 3u);
    const std::vector<std::vector<std::size_t>> carried{{0, 1}, {0}, {1}};
    for (std::size_t m = 0; m < messages.size(); ++m) {
        const nlohmann::json& message = messages[m];
        EXPECT_EQ(message.value("To", ""), "Ann <ann@example.com>, bob@example.com");
        EXPECT_EQ(message.value("Cc", ""), "cat@example.com");
        EXPECT_FALSE(message.contains("Bcc"));
        EXPECT_EQ(message.value("From", ""), "Photo Desk <desk@example.com>");
        EXPECT_EQ(message.value("Reply-To", ""), "editor@example.com");
        EXPECT_EQ(message.value("Subject", ""), o.subject);
        EXPECT_EQ(message.value("body", ""), o.body);
        EXPECT_EQ(message["envelope"]["from"], "desk@example.com");
        EXPECT_EQ(message["envelope"]["to"], (nlohmann::json{"ann@example.com", "bob@example.com",
                                                             "cat@example.com", "dan@example.com"}));
        ASSERT_EQ(message["attachments"].size(), carried[m].size()) << message.dump();
        for (std::size_t a = 0; a < carried[m].size(); ++a) {
            const std::string& file = attachments[carried[m][a]];
            std::uint64_t bytes = 0;
            ASSERT_EQ(lumo::fileSize(file, bytes), 0);
            EXPECT_EQ(message["attachments"][a]["name"], std::filesystem::path(file).filename().string());
            EXPECT_EQ(message["attachments"][a]["type"], "image/jpeg");
            EXPECT_EQ(message["attachments"][a]["size"], bytes);
        }
    }
}

// STARTTLS when the server offers it and login with the password; a server that refuses the message
// is reported once with its text; without the catalog service the user is told how to enable it.
TEST_F(SendPhotosTest, SmtpTlsLoginRefusalAndNoService) {
    EmailOptions o = smtpOptions(1);
    EXPECT_EQ(send({}, o), SendPhotosText::kNoPlatform);
    EXPECT_NE(readWholeFile(LumoPaths::logFolder() + "/Lumo.log").find(SendPhotosText::kNoPlatformLog),
              std::string::npos);

    const std::string key = m_dir.file("key.pem"), cert = m_dir.file("cert.pem");
    const auto made = runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                             "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                             "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ServerProcess secure, refusing;
    if (!startSmtp(secure, {"--tls-cert", cert, "--tls-key", key, "--user", "desk", "--password", "pw"}) ||
        !startService())
        return;
    const std::string photo = m_dir.file("one.jpg");
    writeWholeFile(photo, lumo::test::encodeJpeg(32, 32));
    o = smtpOptions(secure.port());
    o.smtpUser = "desk";
    o.smtpPassword = "pw";
    o.smtpCAFile = cert;
    o.smtpRequireTLS = true;
    o.subject = "Frames\r\nX-Injected: yes"; // a line end cannot start a header of the sender's choosing
    EXPECT_EQ(send({photo}, o), "");
    o.smtpPassword = "wrong";
    EXPECT_NE(send({photo}, o).find("535"), std::string::npos); // the server's own refusal
    const std::vector<nlohmann::json> messages = received();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["envelope"]["tls"], true);
    EXPECT_EQ(messages[0]["envelope"]["login"], true);
    EXPECT_FALSE(messages[0].contains("X-Injected"));
    EXPECT_EQ(messages[0].value("Subject", ""), "Frames  X-Injected: yes");

    ASSERT_TRUE(startSmtp(refusing, {"--reject"}));
    o = smtpOptions(refusing.port());
    o.separateEmails = true;
    std::size_t sent = 9;
    const std::string error = send({photo, photo}, o, &sent);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(error.rfind(SendPhotosText::kSmtpFailed, 0), 0u) << error;
    EXPECT_NE(error.find("554"), std::string::npos) << error;
}

// The mail program gets the message as xdg-email's arguments, once per photo when separate; a missing
// xdg-email and one that fails are reported with their texts.
TEST_F(SendPhotosTest, MailProgramHandOver) {
    const std::string bin = m_dir.file("bin"), record = m_dir.file("calls.txt");
    std::filesystem::create_directories(bin);
    const std::string fake = bin + "/xdg-email";
    writeWholeFile(fake, "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\" >> '" + record +
                             "'; done\necho >> '" + record + "'\nexit ${FAKE_XDG_STATUS:-0}\n");
    ASSERT_EQ(::chmod(fake.c_str(), 0755), 0);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

    EmailOptions o;
    o.to = "a@x.org, b@y.org";
    o.cc = "c@z.org";
    o.bcc = "d@w.org";
    o.subject = "Frames";
    o.body = "See attached";
    EXPECT_EQ(send({"/p/1.jpg", "/p/2.jpg"}, o), "");
    o.separateEmails = true;
    o.bcc.clear();
    o.body.clear();
    EXPECT_EQ(send({"/p/1.jpg", "/p/2.jpg"}, o), "");
    ::setenv("FAKE_XDG_STATUS", "3", 1);
    std::size_t sent = 9;
    const std::string failed = send({"/p/1.jpg", "/p/2.jpg"}, o, &sent);
    ::unsetenv("FAKE_XDG_STATUS");
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(failed.rfind("Error: Unable to send email via the mail program.", 0), 0u) << failed;
    EXPECT_NE(failed.find("Error:0x00000003"), std::string::npos) << failed;
    EXPECT_EQ(readWholeFile(record),
              "--utf8|--cc|c@z.org|--bcc|d@w.org|--subject|Frames|--body|See attached|--attach|/p/1.jpg|"
              "--attach|/p/2.jpg|a@x.org|b@y.org|\n"
              "--utf8|--cc|c@z.org|--subject|Frames|--attach|/p/1.jpg|a@x.org|b@y.org|\n"
              "--utf8|--cc|c@z.org|--subject|Frames|--attach|/p/2.jpg|a@x.org|b@y.org|\n"
              "--utf8|--cc|c@z.org|--subject|Frames|--attach|/p/1.jpg|a@x.org|b@y.org|\n");

    ::setenv("PATH", m_dir.file("nothing").c_str(), 1);
    EXPECT_EQ(send({"/p/1.jpg"}, o), SendPhotosText::kNoMailProgram);
    ::setenv("PATH", oldPath.c_str(), 1);
}

// lumo send: the account saved (its password kept in a preferences file only its owner reads), then
// used by --smtp with --separate: one message per photo, logged in; the attachments removed after.
TEST_F(SendPhotosTest, SendCommandDeliversOneMessagePerPhoto) {
    ServerProcess server;
    if (!startSmtp(server, {"--user", "desk", "--password", "pw"}))
        return;
    const std::map<std::string, std::string> env{{"LUMO_SETTINGS_PATH", m_dir.file("settings")},
                                                 {"LUMO_CACHE_PATH", m_dir.file("cache")},
                                                 {"LUMO_CATALOGD_PATH", LUMO_CATALOGD}};
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto r = runProcess(LUMO_BINARY,
                        {"send", "--save-account", "--server", address, "--from", "desk@example.com",
                         "--user", "desk", "--password-stdin"},
                        env, "pw\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    struct stat info {};
    bool privateFile = false;
    for (const std::string& name : lumo::test::namesIn(m_dir.file("settings")))
        if (name.ends_with(".prefsdb") && ::stat(m_dir.file("settings/" + name).c_str(), &info) == 0)
            privateFile = (info.st_mode & 0777) == 0600;
    EXPECT_TRUE(privateFile);

    const std::vector<std::string> paths = photos(2);
    r = runProcess(LUMO_BINARY,
                   {"send", paths[0], paths[1], "--smtp", "--to", "ann@example.com", "--subject", "Two",
                    "--separate", "--box", "100", "--json"},
                   env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json out = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_EQ(out.size(), 2u) << r.out;
    for (const auto& entry : out)
        EXPECT_EQ(entry.value("sent", false), true) << entry.dump();
    const std::vector<nlohmann::json> messages = received();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& message : messages) {
        EXPECT_EQ(message["envelope"]["login"], true);
        EXPECT_EQ(message.value("Subject", ""), "Two");
        EXPECT_EQ(message["attachments"].size(), 1u);
    }
    EXPECT_TRUE(lumo::test::filesBelow(m_dir.file("cache/attachments")).empty());

    r = runProcess(LUMO_BINARY, {"send", paths[0], "--smtp", "--mail-client", "--to", "a@b.c"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
}

// A mail server that never answers holds up only its own message: the service answers other requests
// meanwhile, and stops at once when asked, ending the conversation.
TEST_F(SendPhotosTest, SilentServerNeitherBlocksNorHoldsTheServiceUp) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0); // connections wait in the backlog, never greeted
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    if (!startService())
        return;
    ProgressDialogInterface progress;
    EmailThread thread({}, smtpOptions(ntohs(address.sin_port)), &progress);
    ASSERT_TRUE(thread.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(DynPlatform::instance().request("ping", {}, std::chrono::seconds(5)).ok);
    EXPECT_TRUE(DynPlatform::instance().dyn_platform_shutdown(std::chrono::seconds(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    thread.Join();
    EXPECT_EQ(thread.MessagesSent(), 0u);
    EXPECT_EQ(thread.ErrorMessage().rfind(SendPhotosText::kSmtpFailed, 0), 0u) << thread.ErrorMessage();
    ::close(listener);
}
