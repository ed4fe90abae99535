#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace SMailer {

// What a server offers in its reply to EHLO (RFC 5321 section 4.1.1.1): after each line's code and
// separator, an extension keyword (case does not matter) and its parameters. Pure logic, no I/O;
// any thread.
struct EhloCapabilities {
    bool startTls = false;       // STARTTLS, which takes no parameters (RFC 3207)
    bool size = false;           // SIZE is listed (RFC 1870)
    std::uint64_t sizeLimit = 0; // its limit; 0 when none was given, or no plain number
    bool eightBitMime = false;
    bool pipelining = false;
    // AUTH mechanisms in upper case, in the server's order: "AUTH LOGIN PLAIN" and the older form
    // "AUTH=LOGIN PLAIN" that some servers still send beside it, without repeats.
    std::vector<std::string> authMechanisms;

    bool offersAuth(const std::string& mechanism) const;

    // Reads a whole reply, as received (lines end in LF or CRLF).
    static EhloCapabilities parse(const std::string& reply);
};

} // namespace SMailer
