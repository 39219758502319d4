#pragma once

// "sendemail": a message with attachments sent by SMTP (libcurl's client). The conversation runs on a
// worker thread of its own so that the service's poll loop never waits for a mail server; the worker
// hands each answer back through an eventfd that the loop polls.

#include "archive/VObject.h"
#include "support/NamedThread.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct SmtpMessage {
    std::vector<std::string> to, cc, bcc; // Bcc goes to the envelope only, never into the headers
    std::string subject, body;
    std::vector<std::string> attachments; // file paths
};

struct SmtpAccount {
    std::string from, user, password, server, replyTo, caFile;
    long port = 587;
    bool requireTls = false; // else STARTTLS is used when the server offers it
};

// Reads the request's arguments [message record, account record]; empty, or what is wrong with them.
std::string ReadSendEmailArguments(const CILA::VObject& args, SmtpMessage& message, SmtpAccount& account);

// The address part of "Name <address>" (or the text itself), for the envelope.
std::string SmtpEnvelopeAddress(const std::string& recipient);

// Sends one message; empty when the server took it, else curl's text of the failure. `stop` set ends
// the conversation early. Call curl_global_init once before any thread sends.
std::string SendSmtpMail(const SmtpMessage& message, const SmtpAccount& account,
                         const std::atomic<bool>& stop);

// The worker: takes requests in order, one conversation at a time.
class SendEmailWorker {
public:
    // Requests waiting beyond the one in progress; more are refused at once.
    static constexpr std::size_t kMaxWaiting = 8;

    struct Done {
        std::uint16_t ticket = 0; // the request's message counter
        std::string error;        // empty: sent
    };

    SendEmailWorker();
    // Stops the conversation in progress and joins the worker; requests still waiting are dropped.
    ~SendEmailWorker();
    SendEmailWorker(const SendEmailWorker&) = delete;
    SendEmailWorker& operator=(const SendEmailWorker&) = delete;

    // Readable while answers wait in takeDone(); -1 when it could not be made.
    int eventFd() const { return m_eventFd; }
    // Queues a request (starting the worker the first time); false with the reason when refused.
    bool submit(std::uint16_t ticket, const CILA::VObject& args, std::string& refusal);
    // The answers ready; clears the eventfd.
    std::vector<Done> takeDone();

private:
    struct Job {
        std::uint16_t ticket;
        SmtpMessage message;
        SmtpAccount account;
    };
    void run();

    int m_eventFd = -1;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::vector<Done> m_done;
    bool m_quit = false;
    std::atomic<bool> m_stop{false};
    lumo::NamedThread m_thread;
};
