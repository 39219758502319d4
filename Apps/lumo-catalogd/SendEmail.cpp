#include "SendEmail.h"

#include <curl/curl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <system_error>
#include <utility>

using CILA::VObject;

namespace {

// The conversation ends within the caller's wait (60 seconds), so that no answer comes after it.
constexpr long kTransferTimeoutMs = 55000;
constexpr long kConnectTimeoutMs = 20000;

bool readText(const VObject& record, const char* key, std::string& out, std::string& problem) {
    const VObject* v = record.fetch(key);
    if (!v || v->isNil())
        return true;
    if (v->dataType() != VObject::DT_STR) {
        problem = std::string("\"") + key + "\" is not text";
        return false;
    }
    out = v->getstr();
    return true;
}

bool readList(const VObject& record, const char* key, std::vector<std::string>& out, std::string& problem) {
    const VObject* v = record.fetch(key);
    if (!v || v->isNil())
        return true;
    if (v->dataType() != VObject::DT_VECTOR) {
        problem = std::string("\"") + key + "\" is not a list";
        return false;
    }
    for (const VObject& item : v->getvec()) {
        if (item.dataType() != VObject::DT_STR) {
            problem = std::string("\"") + key + "\" holds something other than text";
            return false;
        }
        out.push_back(item.getstr());
    }
    return true;
}

// A header's value on one line: line ends would start headers of the sender's choosing.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

bool isAscii(const std::string& text) {
    for (const unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                                (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                                static_cast<unsigned char>(bytes[i + 2]);
        out += {digits[n >> 18], digits[(n >> 12) & 63], digits[(n >> 6) & 63], digits[n & 63]};
    }
    if (i + 1 == bytes.size()) {
        const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        out += {digits[n >> 18], digits[(n >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const std::uint32_t n =
            (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {digits[n >> 18], digits[(n >> 12) & 63], digits[(n >> 6) & 63], '='};
    }
    return out;
}

// Text for a header: as it is when plain ASCII, else an encoded word (UTF-8, base64).
std::string headerText(const std::string& text) {
    const std::string line = oneLine(text);
    return isAscii(line) ? line : "=?UTF-8?B?" + base64(line) + "?=";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + oneLine(item);
    return out;
}

std::string dateHeader() {
    char text[64];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(text, sizeof text, "Date: %a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct CurlEasyFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct CurlSlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct CurlMimeFree {
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};

// Appends to a curl list; false when curl could not.
bool append(std::unique_ptr<curl_slist, CurlSlistFree>& list, const std::string& item) {
    curl_slist* grown = curl_slist_append(list.get(), item.c_str());
    if (!grown)
        return false;
    (void)list.release();
    list.reset(grown);
    return true;
}

// Keeps the server's last reply line, which says more than curl's own text of a refusal.
int keepServerReply(CURL*, curl_infotype type, char* data, std::size_t size, void* lastReply) {
    if (type != CURLINFO_HEADER_IN || size == 0)
        return 0;
    std::string line(data, std::min<std::size_t>(size, 512));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    if (!line.empty())
        *static_cast<std::string*>(lastReply) = line;
    return 0;
}

int stopRequested(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

} // namespace

std::string ReadSendEmailArguments(const VObject& args, SmtpMessage& message, SmtpAccount& account) {
    const VObject& m = args.at(0);
    const VObject& a = args.at(1);
    if (m.dataType() != VObject::DT_HASH || a.dataType() != VObject::DT_HASH)
        return "sendemail takes [message record, account record]";
    std::string problem;
    if (!readList(m, "toRecipients", message.to, problem) ||
        !readList(m, "ccRecipients", message.cc, problem) ||
        !readList(m, "bccRecipients", message.bcc, problem) ||
        !readText(m, "messageSubject", message.subject, problem) ||
        !readText(m, "messageBody", message.body, problem) ||
        !readList(m, "attachments", message.attachments, problem) ||
        !readText(a, "from", account.from, problem) || !readText(a, "user", account.user, problem) ||
        !readText(a, "password", account.password, problem) ||
        !readText(a, "smtp_server", account.server, problem) ||
        !readText(a, "replyto", account.replyTo, problem) || !readText(a, "ca_file", account.caFile, problem))
        return problem;
    if (const VObject* port = a.fetch("smtp_port")) {
        long value = 0;
        if (port->dataType() == VObject::DT_INTEGER)
            value = static_cast<long>(port->getint());
        else if (port->dataType() == VObject::DT_STR)
            value = std::strtol(port->getstr().c_str(), nullptr, 10);
        if (value < 1 || value > 65535)
            return "\"smtp_port\" is not a port number";
        account.port = value;
    }
    if (const VObject* tls = a.fetch("require_tls"))
        account.requireTls = tls->getbool();
    if (account.server.empty())
        return "no SMTP server given";
    if (account.from.empty())
        return "no sender address given";
    if (message.to.empty() && message.cc.empty() && message.bcc.empty())
        return "no recipient given";
    return {};
}

std::string SmtpEnvelopeAddress(const std::string& recipient) {
    const auto open = recipient.rfind('<');
    const auto close = recipient.rfind('>');
    std::string address = open != std::string::npos && close != std::string::npos && close > open
                              ? recipient.substr(open + 1, close - open - 1)
                              : recipient;
    const auto first = address.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    address = oneLine(address.substr(first, address.find_last_not_of(" \t") - first + 1));
    return "<" + address + ">";
}

std::string SendSmtpMail(const SmtpMessage& message, const SmtpAccount& account,
                         const std::atomic<bool>& stop) {
    for (const std::string& file : message.attachments)
        if (::access(file.c_str(), R_OK) != 0)
            return "cannot read the attachment " + file;
    std::unique_ptr<CURL, CurlEasyFree> curl(curl_easy_init());
    if (!curl)
        return "curl_easy_init failed";
    CURL* c = curl.get();
    char errors[CURL_ERROR_SIZE] = {};

    const std::string scheme = account.port == 465 ? "smtps://" : "smtp://";
    const std::string url = scheme + account.server + ":" + std::to_string(account.port);
    std::unique_ptr<curl_slist, CurlSlistFree> recipients, headers;
    for (const auto* list : {&message.to, &message.cc, &message.bcc})
        for (const std::string& r : *list)
            if (const std::string address = SmtpEnvelopeAddress(r);
                !address.empty() && !append(recipients, address))
                return "out of memory";
    if (!recipients)
        return "no recipient given";
    const std::string from = SmtpEnvelopeAddress(account.from);

    std::vector<std::string> lines{dateHeader(), "From: " + oneLine(account.from)};
    if (!message.to.empty())
        lines.push_back("To: " + joined(message.to));
    if (!message.cc.empty())
        lines.push_back("Cc: " + joined(message.cc));
    if (!account.replyTo.empty())
        lines.push_back("Reply-To: " + oneLine(account.replyTo));
    lines.push_back("Subject: " + headerText(message.subject));
    for (const std::string& line : lines)
        if (!append(headers, line))
            return "out of memory";

    std::unique_ptr<curl_mime, CurlMimeFree> mime(curl_mime_init(c));
    if (!mime)
        return "curl_mime_init failed";
    curl_mimepart* text = curl_mime_addpart(mime.get());
    curl_mime_data(text, message.body.c_str(), CURL_ZERO_TERMINATED);
    curl_mime_type(text, "text/plain; charset=utf-8");
    curl_mime_encoder(text, isAscii(message.body) ? "7bit" : "quoted-printable");
    for (const std::string& file : message.attachments) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        if (curl_mime_filedata(part, file.c_str()) != CURLE_OK)
            return "cannot attach " + file;
        curl_mime_filename(part, headerText(fileNameOf(file)).c_str());
        const bool jpeg = file.size() > 4 && (file.ends_with(".jpg") || file.ends_with(".JPG") ||
                                              file.ends_with(".jpeg") || file.ends_with(".JPEG"));
        curl_mime_type(part, jpeg ? "image/jpeg" : "application/octet-stream");
        curl_mime_encoder(part, "base64");
    }

    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USE_SSL,
                     static_cast<long>(account.requireTls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    if (!account.caFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, account.caFile.c_str());
    if (!account.password.empty()) {
        const std::string& user = account.user.empty() ? account.from : account.user;
        const std::string login = SmtpEnvelopeAddress(user);
        const std::string name = user == account.from ? login.substr(1, login.size() - 2) : user;
        curl_easy_setopt(c, CURLOPT_USERNAME, name.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, account.password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, stopRequested);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&stop));
    std::string lastReply;
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, keepServerReply);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &lastReply);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L); // to the callback only
    const CURLcode result = curl_easy_perform(c);
    if (result == CURLE_OK)
        return {};
    std::string failure = *errors ? std::string(errors) : std::string(curl_easy_strerror(result));
    if (!lastReply.empty() && (lastReply[0] == '4' || lastReply[0] == '5'))
        failure += " (the server said: " + lastReply + ")";
    return failure;
}

SendEmailWorker::SendEmailWorker() : m_eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SendEmailWorker::~SendEmailWorker() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

bool SendEmailWorker::submit(std::uint16_t ticket, const VObject& args, std::string& refusal) {
    Job job{ticket, {}, {}};
    refusal = ReadSendEmailArguments(args, job.message, job.account);
    if (!refusal.empty())
        return false;
    if (m_eventFd < 0) {
        refusal = "the e-mail worker could not be set up";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_jobs.size() >= kMaxWaiting) {
        refusal = "too many e-mails waiting to be sent; try again later";
        return false;
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = lumo::NamedThread("SendEmail", 1u << 20, [this] { run(); });
        } catch (const std::system_error& e) {
            refusal = std::string("cannot start the e-mail worker: ") + e.what();
            return false;
        }
    }
    m_jobs.push_back(std::move(job));
    m_wake.notify_one();
    return true;
}

std::vector<SendEmailWorker::Done> SendEmailWorker::takeDone() {
    std::uint64_t count = 0;
    while (::read(m_eventFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_done, {});
}

void SendEmailWorker::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_quit)
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        std::string error;
        try {
            error = SendSmtpMail(job.message, job.account, m_stop);
        } catch (const std::exception& e) {
            error = e.what();
        }
        lock.lock();
        m_done.push_back({job.ticket, std::move(error)});
        const std::uint64_t one = 1;
        while (::write(m_eventFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}
