#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// An in-process SMTP server that answers from a script and records every byte, for faults a real
// server will not produce on demand. Serves one connection on 127.0.0.1 (port chosen by the
// system) on its own thread; the destructor stops it.
//
// Steps: "CONNECT" (greeting), "EHLO", "HELO", "AUTH", "USER", "PASS", "MAIL", "RCPT", "DATA",
// "END" (after the end-of-data line), "QUIT". "AUTH PLAIN" with its initial response is answered
// as "PASS"; without one, as "AUTH" and then "PASS". Each answers with its default reply unless the
// script overrides it.
class ScriptedSmtpServer {
public:
    enum class Action {
        Reply,     // send the reply text
        Close,     // hang up instead of replying (for "DATA": as soon as message bytes arrive)
        Stall,     // never reply, keep the connection open (or hang up after hangUpAfterMs)
    };
    struct Step {
        Action action = Action::Reply;
        std::string reply;
        int hangUpAfterMs = 0;
    };

    // segment: replies are sent in pieces of this many bytes with short pauses (0: whole).
    // connections: how many connections it serves one after the other before it stops listening.
    explicit ScriptedSmtpServer(std::map<std::string, Step> script = {}, std::size_t segment = 0, int connections = 1);
    ~ScriptedSmtpServer();

    unsigned short port() const { return m_port; }
    // Runs action on the server's thread when the client reaches step, before the reply (for
    // faults that must happen at a precise moment). Set before the client connects.
    void beforeReply(const std::string& step, std::function<void()> action) { m_actions[step] = std::move(action); }
    // The same, right after the reply was sent.
    void afterReply(const std::string& step, std::function<void()> action) { m_afterActions[step] = std::move(action); }
    // Everything the client sent, in order.
    std::string transcript() const;
    // The DATA stream as received, from after the 354 reply up to and including "\r\n.\r\n".
    std::string data() const;
    // The message as its sender wrote it: the DATA stream without the end-of-data line, with the
    // transparency dots taken off again.
    std::string message() const;
    // The step names in the order the client reached them.
    std::string steps() const;
    // Waits (bounded) until the client has gone away.
    bool waitForClientGone(int timeoutMs) const;

    static Step reply(std::string text) { return {Action::Reply, std::move(text), 0}; }
    static Step close() { return {Action::Close, {}, 0}; }
    static Step stall(int hangUpAfterMs = 0) { return {Action::Stall, {}, hangUpAfterMs}; }

private:
    void serve();
    void serveOne(int fd);
    bool answer(int fd, const std::string& step);
    bool readLine(int fd, std::string& line);
    bool sendText(int fd, const std::string& text);

    std::map<std::string, Step> m_script;
    std::map<std::string, std::function<void()>> m_actions;
    std::map<std::string, std::function<void()>> m_afterActions;
    std::size_t m_segment;
    int m_connections;
    int m_listenFd = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_clientGone{false};
    std::string m_pending;
    mutable std::mutex m_mutex;
    std::string m_transcript;
    std::string m_data;
    std::string m_steps;
    std::thread m_thread;
};
