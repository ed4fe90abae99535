#include "platform/logscrubber.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <iconv.h>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBlock = 256 * 1024;
constexpr std::size_t kMaxLine = 1024 * 1024;
// Shorter names would turn ordinary words into "<user>" everywhere.
constexpr std::size_t kMinNameBytes = 3;

const char* const kKeys[] = {"password", "passwd", "pwd", "secret", "token", "api_key", "apikey", "access_key"};

inline bool isWord(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}
inline bool isAlpha(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline bool isHex(unsigned char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline unsigned char lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
inline bool isLocalPart(unsigned char c)
{
    return isWord(c) || c == '.' || c == '%' || c == '+' || c == '-';
}
inline bool isPathChar(unsigned char c)
{
    return isWord(c) || c == '.' || c == '-';
}
inline bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\t';
}
inline bool isLineEnd(unsigned char c)
{
    return c == '\n' || c == '\r';
}
inline bool isTokenChar(unsigned char c)
{
    return isWord(c) || c == '-' || c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
}

enum : unsigned char { kOther = 0, kWordChar = 1, kHigh = 2, kTrigger = 3 };

struct ClassTable {
    unsigned char kind[256];
    ClassTable()
    {
        for (int c = 0; c < 256; ++c) {
            const auto b = static_cast<unsigned char>(c);
            kind[c] = isWord(b)                                        ? kWordChar
                      : b >= 0x80                                      ? kHigh
                      : (b == '/' || b == '@' || b == ':' || b == '=') ? kTrigger
                                                                       : kOther;
        }
    }
};
const ClassTable kClassTable;
const unsigned char* const kClass = kClassTable.kind;

bool equalsNoCase(const unsigned char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (lower(a[i]) != static_cast<unsigned char>(b[i]))
            return false;
    }
    return true;
}

// Whether the line is valid UTF-8 (then every byte below 0x80 is a character of its own).
bool validUtf8(const unsigned char* s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t more;
        if (c >= 0xC2 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            more = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            more = 3;
        else
            return false;
        for (std::size_t k = 1; k <= more; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += more + 1;
    }
    return true;
}

// A GB18030 line seen by the matchers: the bytes of each multi-byte character masked (lead 0xC0,
// the rest 0x80), so that a trail byte that happens to be '@' or a letter matches nothing.
void maskGb18030(const unsigned char* s, std::size_t n, std::string& view)
{
    view.assign(reinterpret_cast<const char*>(s), n);
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 1;
        if (c >= 0x81 && c <= 0xFE && i + 1 < n) {
            const unsigned char t = s[i + 1];
            if (isDigit(t) && i + 3 < n)
                length = 4;
            else if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE))
                length = 2;
        }
        view[i] = static_cast<char>(0xC0);
        for (std::size_t k = 1; k < length; ++k)
            view[i + k] = static_cast<char>(0x80);
        i += length;
    }
}

// One line being scrubbed: v is what the matchers look at, o the original bytes.
struct Line {
    const unsigned char* v;
    const unsigned char* o;
    std::size_t n;
    std::string& out;
    std::vector<LogScrubber::Span>* spans;
    std::uint64_t outBase;
    std::size_t copied = 0; // o[0, copied) is in out
    std::size_t count = 0;

    unsigned char at(std::size_t i) const { return i < n ? v[i] : 0; }
    bool charStart(std::size_t i) const { return (v[i] & 0xC0) != 0x80; }

    // Replaces [from, to) with text.
    template <std::size_t N> void replace(std::size_t from, std::size_t to, const char (&text)[N])
    {
        out.append(reinterpret_cast<const char*>(o) + copied, from - copied);
        const std::size_t length = N - 1;
        if (spans)
            spans->push_back({outBase + out.size(), static_cast<std::uint32_t>(length)});
        out.append(text, length);
        copied = to;
        ++count;
    }
};

// IPv4 at i: the end, or 0.
std::size_t ipv4At(const Line& l, std::size_t i, bool& loopback)
{
    std::size_t p = i;
    int octets[4];
    for (int k = 0; k < 4; ++k) {
        if (k > 0) {
            if (l.at(p) != '.')
                return 0;
            ++p;
        }
        std::size_t digits = 0;
        int value = 0;
        while (digits < 4 && isDigit(l.at(p))) {
            value = value * 10 + (l.at(p) - '0');
            ++p;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return 0;
        octets[k] = value;
    }
    loopback = octets[0] == 127 || (octets[0] == 0 && octets[1] == 0 && octets[2] == 0 && octets[3] == 0);
    return p;
}

// An address ends where no word, no further number and no version suffix follows.
bool ipv4Ends(const Line& l, std::size_t end)
{
    const unsigned char c = l.at(end);
    if (isWord(c) || c == '-' || c == '+' || c == '~')
        return false;
    return !(c == '.' && isDigit(l.at(end + 1)));
}

// Cheap test before the full parse: a group of up to four hex digits and a colon.
bool hexThenColon(const Line& l, std::size_t i)
{
    std::size_t k = 0;
    while (k < 5 && isHex(l.at(i + k)))
        ++k;
    return k >= 1 && k <= 4 && l.at(i + k) == ':';
}

// IPv6 (RFC 4291 text forms) at i: the end, or 0.
std::size_t ipv6At(const Line& l, std::size_t i, bool& keep)
{
    std::size_t p = i;
    int groups = 0;
    int compressed = -1; // groups before "::"
    bool digit = false;
    bool nonZero = false;
    unsigned lastValue = 0;
    bool mappedLoopback = false;
    for (;;) {
        if (l.at(p) == ':' && l.at(p + 1) == ':') {
            if (compressed >= 0)
                return 0;
            compressed = groups;
            p += 2;
            if (!isHex(l.at(p)))
                break;
        } else if (groups > 0) {
            if (l.at(p) != ':' || !isHex(l.at(p + 1)))
                break;
            ++p;
        }
        // An IPv4 tail counts as two groups.
        bool loop = false;
        const std::size_t v4 = groups <= 6 ? ipv4At(l, p, loop) : 0;
        if (v4 != 0 && (compressed >= 0 || groups == 6)) {
            mappedLoopback = loop && lastValue == 0xFFFF;
            nonZero = nonZero || !loop;
            groups += 2;
            digit = true;
            p = v4;
            break;
        }
        std::size_t run = 0;
        unsigned value = 0;
        while (isHex(l.at(p + run)) && run < 5) {
            const unsigned char c = l.at(p + run);
            digit = digit || isDigit(c);
            value = value * 16 + (isDigit(c) ? c - '0' : lower(c) - 'a' + 10);
            ++run;
        }
        if (run == 0 || run > 4)
            return 0;
        p += run;
        ++groups;
        if (groups > 1 && lastValue != 0)
            nonZero = true;
        lastValue = value;
        if (groups > 8)
            return 0;
    }
    if (isWord(l.at(p)) || (l.at(p) == ':' && isHex(l.at(p + 1))) || l.at(p) == '.')
        return 0;
    if (compressed < 0 ? groups != 8 : groups > 7)
        return 0;
    if (groups == 0)
        return 0;
    // Short compressed forms without a digit are words of code ("Abc::Def"), not addresses.
    if (compressed >= 0 && groups <= 2 && !digit)
        return 0;
    // Loopback ::1, unspecified ::, and ::ffff:127.x are nobody's address.
    keep = mappedLoopback || (!nonZero && (lastValue == 1 || lastValue == 0));
    return p;
}

// The value after a key's separator at p: [from, to), empty when there is none.
void valueAfter(const Line& l, std::size_t p, bool restOfLine, bool skipSpaces, std::size_t& from, std::size_t& to)
{
    // "key= next" has no value; "key = value" and "key: value" have one.
    while (skipSpaces && isSpace(l.at(p)))
        ++p;
    from = to = p;
    const unsigned char quote = l.at(p);
    if (quote == '"' || quote == '\'') {
        std::size_t q = p + 1;
        while (q < l.n && l.v[q] != quote && !isLineEnd(l.v[q])) {
            if (l.v[q] == '\\' && q + 1 < l.n)
                ++q;
            ++q;
        }
        if (q >= l.n || l.v[q] != quote)
            return; // no closing quote: not a value we can delimit
        from = p + 1;
        to = q;
        return;
    }
    if (quote == ':' || quote == '/' || quote == '=' || quote == '>')
        return;
    std::size_t q = p;
    if (restOfLine) {
        while (q < l.n && !isLineEnd(l.v[q]))
            ++q;
        while (q > p && isSpace(l.v[q - 1]))
            --q;
    } else {
        while (q < l.n && !isSpace(l.v[q]) && !isLineEnd(l.v[q]) && l.v[q] != ',' && l.v[q] != ';' && l.v[q] != '&' &&
               l.v[q] != ')' && l.v[q] != ']' && l.v[q] != '}' && l.v[q] != '"' && l.v[q] != '\'')
            ++q;
    }
    to = q;
}

// At a separator ('=' or ':') at i: a key that names a secret just before it, and its value.
bool keyValueAt(Line& l, std::size_t i)
{
    if (l.at(i) == ':' && (l.at(i + 1) == ':' || l.at(i + 1) == '/'))
        return false;
    std::size_t j = i;
    while (j > l.copied && isSpace(l.v[j - 1]))
        --j;
    if (j > l.copied && (l.v[j - 1] == '"' || l.v[j - 1] == '\''))
        --j;
    // Every key ends in one of these letters: most separators are dismissed here.
    if (j == l.copied)
        return false;
    const unsigned char last = lower(l.v[j - 1]);
    if (last != 'd' && last != 't' && last != 'n' && last != 'y')
        return false;
    const std::size_t end = j;
    while (j > l.copied && (isWord(l.v[j - 1]) || l.v[j - 1] == '-'))
        --j;
    const std::size_t start = j;
    if (end - start < 3)
        return false;
    bool authorization = false;
    bool found = false;
    if (end - start >= 13 && equalsNoCase(l.v + end - 13, "authorization", 13)) {
        authorization = found = end - start == 13 || !isAlpha(l.v[end - 14]);
    }
    for (const char* key : kKeys) {
        if (found)
            break;
        const std::size_t length = std::strlen(key);
        if (end - start < length || !equalsNoCase(l.v + end - length, key, length))
            continue;
        const std::size_t at = end - length;
        // The whole key, or the last part of a compound one (db_password, client-secret,
        // clientSecret).
        found = at == start || l.v[at - 1] == '_' || l.v[at - 1] == '-' ||
                (l.v[at - 1] >= 'a' && l.v[at - 1] <= 'z' && l.v[at] >= 'A' && l.v[at] <= 'Z');
    }
    if (!found)
        return false;
    std::size_t from, to;
    valueAfter(l, i + 1, authorization, l.v[i] == ':' || end < i, from, to);
    if (from == to || std::memcmp(l.o + from, "<secret>", std::min<std::size_t>(to - from, 8)) == 0)
        return false;
    l.replace(from, to, "<secret>");
    return true;
}

// An e-mail address whose '@' is at at and whose local part starts at or after from.
bool emailAt(Line& l, std::size_t from, std::size_t at)
{
    std::size_t s = at;
    while (s > from && isLocalPart(l.v[s - 1]))
        --s;
    while (s < at && (l.v[s] == '.' || l.v[s] == '-'))
        ++s;
    if (s == at)
        return false;
    std::size_t p = at + 1;
    std::size_t lastLabel = p;
    int dots = 0;
    std::size_t end = 0;
    for (;;) {
        const std::size_t label = p;
        while (p < l.n && (isWord(l.v[p]) || l.v[p] == '-') && l.v[p] != '_')
            ++p;
        if (p == label)
            break;
        lastLabel = label;
        end = p;
        if (l.at(p) == '.' && (isWord(l.at(p + 1)))) {
            ++dots;
            ++p;
            continue;
        }
        break;
    }
    if (dots == 0 || end == 0)
        return false;
    for (std::size_t k = lastLabel; k < end; ++k) {
        if (!isAlpha(l.v[k]))
            return false;
    }
    if (end - lastLabel < 2)
        return false;
    // systemd names a unit's instance so (getty@tty1.service): not an address.
    static const char* const kUnits[] = {"service", "socket", "target", "mount", "timer", "slice", "scope", "device"};
    for (const char* unit : kUnits) {
        if (end - lastLabel == std::strlen(unit) && equalsNoCase(l.v + lastLabel, unit, end - lastLabel) && dots == 1)
            return false;
    }
    l.replace(s, end, "<email>");
    return true;
}

// scheme://user:secret@ at the ':' at i.
bool urlCredentialsAt(Line& l, std::size_t i)
{
    std::size_t s = i;
    while (s > l.copied && (isWord(l.v[s - 1]) || l.v[s - 1] == '+' || l.v[s - 1] == '.' || l.v[s - 1] == '-'))
        --s;
    if (s == i || !isAlpha(l.v[s]))
        return false;
    const std::size_t from = i + 3;
    std::size_t p = from;
    bool colon = false;
    while (p < l.n) {
        const unsigned char c = l.v[p];
        if (c == '@' || c == '/' || c == '?' || c == '#' || c == '<' || c == '>' || c == '"' || c == '\'' ||
            isSpace(c) || isLineEnd(c))
            break;
        colon = colon || c == ':';
        ++p;
    }
    if (p >= l.n || l.v[p] != '@' || p == from)
        return false;
    if (colon)
        l.replace(from, p, "<user>:<secret>");
    else
        l.replace(from, p, "<user>");
    return true;
}

// "Bearer <token>" at i.
bool bearerAt(Line& l, std::size_t i)
{
    if (i + 7 > l.n || !equalsNoCase(l.v + i, "bearer", 6) || !isSpace(l.v[i + 6]))
        return false;
    std::size_t p = i + 6;
    while (isSpace(l.at(p)))
        ++p;
    std::size_t q = p;
    bool notLetter = false;
    while (q < l.n && isTokenChar(l.v[q])) {
        notLetter = notLetter || !isAlpha(l.v[q]);
        ++q;
    }
    // A token, not the next word of a sentence ("bearer of bad news").
    if (q - p < 8 || (!notLetter && q - p < 20) ||
        std::memcmp(l.o + p, "<secret>", std::min<std::size_t>(q - p, 8)) == 0)
        return false;
    l.replace(p, q, "<secret>");
    return true;
}

} // namespace

void ScrubIdentity::addName(const std::string& name, bool host)
{
    if (name.size() < kMinNameBytes || std::find(names.begin(), names.end(), name) != names.end())
        return;
    names.push_back(name);
    isHost.push_back(host);
    // A log written in GB18030 names the user in GB18030.
    bool ascii = true;
    for (const unsigned char c : name)
        ascii = ascii && c < 0x80;
    if (ascii)
        return;
    iconv_t cd = iconv_open("GB18030", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return;
    std::string in = name;
    std::string converted(name.size() * 2 + 8, '\0');
    char* inPtr = &in[0];
    std::size_t inLeft = in.size();
    char* outPtr = &converted[0];
    std::size_t outLeft = converted.size();
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0) {
        converted.resize(converted.size() - outLeft);
        if (converted != name) {
            names.push_back(converted);
            isHost.push_back(host);
        }
    }
    iconv_close(cd);
}

ScrubIdentity ScrubIdentity::ofThisProcess()
{
    ScrubIdentity identity;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        identity.home = found->pw_dir ? found->pw_dir : "";
        // The superuser's names say nothing about a person.
        if (found->pw_uid != 0 && found->pw_name)
            identity.addName(found->pw_name, false);
        if (found->pw_uid != 0 && found->pw_gecos) {
            std::string real = found->pw_gecos;
            real = real.substr(0, real.find(','));
            identity.addName(real, false);
        }
    }
    if (identity.home.empty()) {
        if (const char* home = std::getenv("HOME"))
            identity.home = home;
    }
    while (identity.home.size() > 1 && identity.home.back() == '/')
        identity.home.pop_back();
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
        const std::string full = host;
        if (full != "localhost" && full != "localhost.localdomain") {
            identity.addName(full, true);
            identity.addName(full.substr(0, full.find('.')), true);
        }
    }
    return identity;
}

LogScrubber::LogScrubber(ScrubIdentity identity) : m_identity(std::move(identity))
{
    if (m_identity.home.size() <= 1)
        m_identity.home.clear();
    for (std::size_t i = 0; i < m_identity.names.size(); ++i) {
        const std::string& bytes = m_identity.names[i];
        if (bytes.empty())
            continue;
        m_names.push_back({bytes, i < m_identity.isHost.size() && m_identity.isHost[i]});
        const unsigned char first = static_cast<unsigned char>(bytes[0]);
        m_nameStart[first] = true;
        if (isAlpha(first))
            m_nameStart[first ^ 0x20] = true;
    }
    std::stable_sort(m_names.begin(), m_names.end(),
                     [](const Name& a, const Name& b) { return a.bytes.size() > b.bytes.size(); });
}

std::size_t LogScrubber::scrubLine(const char* data, std::size_t size, std::string& out, std::vector<Span>* spans,
                                   std::uint64_t outBase) const
{
    const auto* o = reinterpret_cast<const unsigned char*>(data);
    unsigned char high = 0;
    for (std::size_t k = 0; k < size; ++k)
        high |= o[k];
    std::string masked;
    const unsigned char* v = o;
    if ((high & 0x80) && !validUtf8(o, size)) {
        maskGb18030(o, size, masked);
        v = reinterpret_cast<const unsigned char*>(masked.data());
    }
    Line l{v, o, size, out, spans, outBase};
    const std::string& home = m_identity.home;

    // The line is scanned a word at a time: the matchers run only where a word starts or at
    // one of the few characters that can begin or end private data.
    const bool hasAt = std::memchr(v, '@', size) != nullptr;
    std::size_t i = 0;
    while (i < size) {
        const unsigned char c = v[i];
        const unsigned char kind = kClass[c];
        if (kind == kOther) {
            ++i;
            continue;
        }
        if (kind == kWordChar || (kind == kHigh && l.charStart(i))) {
            // A word starts here.
            const std::size_t before = l.copied;
            if (kind == kWordChar) {
                // An address whose local part starts here (a name in it must not hide the address).
                if (hasAt) {
                    std::size_t q = i;
                    while (q < size && isLocalPart(v[q]))
                        ++q;
                    if (q < size && v[q] == '@' && emailAt(l, i, q)) {
                        i = l.copied;
                        continue;
                    }
                }
                bool keep = false;
                std::size_t end = 0;
                if (isDigit(c) &&
                    (isDigit(l.at(i + 1)) ? (isDigit(l.at(i + 2)) ? l.at(i + 3) : l.at(i + 2)) : l.at(i + 1)) == '.' &&
                    (i == 0 || (v[i - 1] != '.' && v[i - 1] != '-' && v[i - 1] != '+'))) {
                    end = ipv4At(l, i, keep);
                    if (end && !ipv4Ends(l, end))
                        end = 0;
                }
                if (!end && isHex(c) && (i == 0 || (v[i - 1] != ':' && v[i - 1] != '.')) && hexThenColon(l, i))
                    end = ipv6At(l, i, keep);
                if (end) {
                    if (!keep)
                        l.replace(i, end, "<ip>");
                    i = end;
                    continue;
                }
            }
            if (m_nameStart[o[i]]) {
                for (const Name& name : m_names) {
                    const std::size_t length = name.bytes.size();
                    if (size - i < length)
                        continue;
                    bool same = true;
                    for (std::size_t k = 0; k < length && same; ++k) {
                        const auto a = o[i + k];
                        const auto b = static_cast<unsigned char>(name.bytes[k]);
                        same = a == b || (a < 0x80 && lower(a) == lower(b));
                    }
                    if (!same || (i + length < size && (isWord(v[i + length]) || !l.charStart(i + length))))
                        continue;
                    if (name.host)
                        l.replace(i, i + length, "<host>");
                    else
                        l.replace(i, i + length, "<user>");
                    break;
                }
                if (l.copied != before) {
                    i = l.copied;
                    continue;
                }
            }
            if ((c == 'b' || c == 'B') && bearerAt(l, i)) {
                i = l.copied;
                continue;
            }
            ++i;
            if (kind == kWordChar) {
                while (i < size && kClass[v[i]] == kWordChar)
                    ++i;
            }
            continue;
        }
        switch (c) {
        case '/':
            if (!home.empty() && size - i >= home.size() && std::memcmp(o + i, home.data(), home.size()) == 0 &&
                !isPathChar(l.at(i + home.size())) && (i == 0 || (!isPathChar(v[i - 1]) && v[i - 1] != '/'))) {
                l.replace(i, i + home.size(), "~");
                i = l.copied;
                continue;
            }
            break;
        case '@':
            if (emailAt(l, l.copied, i)) {
                i = l.copied;
                continue;
            }
            break;
        case ':':
            if (l.at(i + 1) == '/' && l.at(i + 2) == '/') {
                if (urlCredentialsAt(l, i)) {
                    i = l.copied;
                    continue;
                }
                break;
            }
            if (l.at(i + 1) == ':' && (i == 0 || (!isWord(v[i - 1]) && v[i - 1] != ':'))) {
                bool keep = false;
                const std::size_t end = ipv6At(l, i, keep);
                if (end) {
                    if (!keep)
                        l.replace(i, end, "<ip>");
                    i = end;
                    continue;
                }
            }
            if (keyValueAt(l, i)) {
                i = l.copied;
                continue;
            }
            break;
        case '=':
            if (keyValueAt(l, i)) {
                i = l.copied;
                continue;
            }
            break;
        default:
            break;
        }
        ++i;
    }
    out.append(data + l.copied, size - l.copied);
    return l.count;
}

namespace {

bool writeAll(int fd, const std::string& bytes, int& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

LogScrubber::Result LogScrubber::scrubFile(int in, std::uint64_t maxBytes, int out, std::vector<Span>* spans,
                                           const std::atomic<bool>* cancel) const
{
    const off_t at = ::lseek(in, 0, SEEK_CUR);
    const Result result = scrubRange(in, at, maxBytes, out, spans, true, cancel);
    if (at >= 0)
        ::lseek(in, at + static_cast<off_t>(result.bytesIn), SEEK_SET);
    return result;
}

LogScrubber::Result LogScrubber::scrubRange(int in, off_t from, std::uint64_t maxBytes, int out,
                                            std::vector<Span>* spans, bool checkText,
                                            const std::atomic<bool>* cancel) const
{
    Result result;
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::string pending; // the start of a line whose end is not read yet
    std::string output;
    std::uint64_t written = 0;
    bool first = true;
    bool atEnd = false;
    const auto flush = [&](bool always) {
        if (output.empty() || (!always && output.size() < kBlock))
            return true;
        if (!writeAll(out, output, result.error))
            return false;
        written += output.size();
        output.clear();
        return true;
    };
    while (!atEnd) {
        if (cancel && *cancel) {
            result.error = ECANCELED;
            return result;
        }
        const std::uint64_t left = maxBytes - result.bytesIn;
        const std::size_t want = left < kBlock ? static_cast<std::size_t>(left) : kBlock;
        ssize_t got = 0;
        if (want > 0) {
            do {
                got = from < 0 ? ::read(in, block.get(), want)
                               : ::pread(in, block.get(), want, from + static_cast<off_t>(result.bytesIn));
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                result.error = errno;
                return result;
            }
        }
        atEnd = got == 0;
        result.bytesIn += static_cast<std::uint64_t>(got);
        const std::size_t size = static_cast<std::size_t>(got);
        // Not text (a NUL in its first block): copied as it is.
        if (first && checkText && std::memchr(block.get(), '\0', size))
            result.text = false;
        first = false;
        if (!result.text) {
            output.append(block.get(), size);
            if (!flush(false))
                return result;
            continue;
        }
        std::size_t start = 0;
        while (start < size) {
            const char* line = block.get() + start;
            const char* newline = static_cast<const char*>(std::memchr(line, '\n', size - start));
            if (!newline) {
                pending.append(line, size - start);
                // Too long for one line: taken in pieces, cut after a blank where there is one.
                while (pending.size() >= kMaxLine) {
                    std::size_t cut = pending.find_last_of(" \t", kMaxLine - 1);
                    cut = (cut == std::string::npos || cut + 4096 < kMaxLine) ? kMaxLine : cut + 1;
                    result.replacements += scrubLine(pending.data(), cut, output, spans, written);
                    pending.erase(0, cut);
                    if (!flush(false))
                        return result;
                }
                break;
            }
            const std::size_t lineSize = static_cast<std::size_t>(newline - line) + 1;
            if (!pending.empty()) {
                pending.append(line, lineSize);
                result.replacements += scrubLine(pending.data(), pending.size(), output, spans, written);
                pending.clear();
            } else {
                result.replacements += scrubLine(line, lineSize, output, spans, written);
            }
            start += lineSize;
            if (!flush(false))
                return result;
        }
        if (atEnd && !pending.empty()) {
            result.replacements += scrubLine(pending.data(), pending.size(), output, spans, written);
            pending.clear();
        }
    }
    if (!flush(true))
        return result;
    result.bytesOut = written;
    result.ok = true;
    return result;
}

LogScrubber::Result LogScrubber::scrubFileInParallel(int in, std::uint64_t maxBytes, int out, unsigned threads) const
{
    constexpr std::uint64_t kMinPiece = 4 * 1024 * 1024;
    const off_t at = ::lseek(in, 0, SEEK_CUR);
    std::unique_ptr<char[]> probe(new char[kBlock]);
    const ssize_t head = at < 0 ? -1 : ::pread(in, probe.get(), kBlock, at);
    if (threads < 2 || maxBytes < 2 * kMinPiece || head < 0 ||
        std::memchr(probe.get(), '\0', static_cast<std::size_t>(head)))
        return scrubFile(in, maxBytes, out);
    threads = static_cast<unsigned>(std::min<std::uint64_t>(threads, maxBytes / kMinPiece));
    // Cut at line starts: lines are scrubbed one by one, so the pieces give the same bytes.
    std::vector<std::uint64_t> cuts{0};
    for (unsigned k = 1; k < threads; ++k) {
        const std::uint64_t guess = maxBytes / threads * k;
        const ssize_t got = ::pread(in, probe.get(), kBlock, at + static_cast<off_t>(guess));
        const void* newline = got > 0 ? std::memchr(probe.get(), '\n', static_cast<std::size_t>(got)) : nullptr;
        if (!newline)
            continue; // a line longer than a block: no cut here
        const std::uint64_t cut =
            guess + static_cast<std::uint64_t>(static_cast<const char*>(newline) - probe.get()) + 1;
        if (cut > cuts.back() && cut < maxBytes)
            cuts.push_back(cut);
    }
    cuts.push_back(maxBytes);
    const std::size_t pieces = cuts.size() - 1;
    std::vector<Result> results(pieces);
    std::vector<int> parts(pieces, -1); // the output of each piece after the first
    std::vector<std::thread> workers;
    for (std::size_t k = 0; k < pieces; ++k) {
        if (k > 0) {
            FILE* part = std::tmpfile();
            parts[k] = part ? ::dup(::fileno(part)) : -1;
            if (part)
                std::fclose(part);
            if (parts[k] < 0) {
                results[k].error = errno;
                continue;
            }
        }
        workers.emplace_back([&, k] {
            results[k] = scrubRange(in, at + static_cast<off_t>(cuts[k]), cuts[k + 1] - cuts[k],
                                    k == 0 ? out : parts[k], nullptr, false);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    Result total;
    total.ok = true;
    std::string buffer(kBlock, '\0');
    for (std::size_t k = 0; k < pieces; ++k) {
        const Result& piece = results[k];
        total.ok = total.ok && piece.ok;
        total.error = total.error ? total.error : piece.error;
        total.bytesIn += piece.bytesIn;
        total.bytesOut += piece.bytesOut;
        total.replacements += piece.replacements;
        if (k == 0 || parts[k] < 0)
            continue;
        // Appended in order after the first piece's output.
        for (off_t offset = 0; total.ok && offset < static_cast<off_t>(piece.bytesOut);) {
            const ssize_t got = ::pread(parts[k], &buffer[0], buffer.size(), offset);
            if (got <= 0) {
                total.ok = false;
                total.error = got < 0 ? errno : EIO;
                break;
            }
            buffer.resize(static_cast<std::size_t>(got));
            total.ok = writeAll(out, buffer, total.error);
            buffer.resize(kBlock);
            offset += got;
        }
        ::close(parts[k]);
    }
    if (at >= 0)
        ::lseek(in, at + static_cast<off_t>(total.bytesIn), SEEK_SET);
    return total;
}
