#include "smailer/ehlocapabilities.h"

#include <algorithm>
#include <cctype>

namespace SMailer {

namespace {

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The words of text, split at spaces.
std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> found;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            found.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return found;
}

void addMechanisms(EhloCapabilities& found, const std::string& list)
{
    for (const std::string& word : words(upper(list))) {
        if (!found.offersAuth(word))
            found.authMechanisms.push_back(word);
    }
}

// One line without its code and separator, and without trailing CR and spaces.
void readLine(EhloCapabilities& found, const std::string& line)
{
    const std::size_t space = line.find(' ');
    const std::string keyword = upper(line.substr(0, space));
    const std::string parameters = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (keyword == "STARTTLS" && space == std::string::npos) {
        found.startTls = true;
    } else if (keyword == "SIZE" && !found.size) {
        // The first SIZE line counts; anything but a plain number of at most 18 digits is no limit.
        found.size = true;
        if (!parameters.empty() && parameters.size() < 19 &&
            parameters.find_first_not_of("0123456789") == std::string::npos)
            found.sizeLimit = std::stoull(parameters);
    } else if (keyword == "8BITMIME") {
        found.eightBitMime = true;
    } else if (keyword == "PIPELINING") {
        found.pipelining = true;
    } else if (keyword == "AUTH") {
        addMechanisms(found, parameters);
    } else if (keyword.compare(0, 5, "AUTH=") == 0) {
        addMechanisms(found, line.substr(5));
    }
}

} // namespace

bool EhloCapabilities::offersAuth(const std::string& mechanism) const
{
    return std::find(authMechanisms.begin(), authMechanisms.end(), upper(mechanism)) != authMechanisms.end();
}

EhloCapabilities EhloCapabilities::parse(const std::string& reply)
{
    EhloCapabilities found;
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        if (end == std::string::npos)
            end = reply.size();
        std::string line = start + 4 <= end ? reply.substr(start + 4, end - start - 4) : std::string();
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        readLine(found, line);
        start = end + 1;
    }
    return found;
}

} // namespace SMailer
