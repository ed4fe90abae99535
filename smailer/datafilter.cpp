#include "smailer/datafilter.h"

namespace SMailer {

void DataFilter::feed(const char* data, std::size_t size, std::string& out)
{
    std::size_t i = 0;
    while (i < size) {
        if (m_pendingCR) {
            m_pendingCR = false;
            out += "\r\n";
            m_atLineStart = true;
            if (data[i] == '\n') {
                ++i;
                continue;
            }
        }
        const char c = data[i];
        if (c == '\r') {
            m_pendingCR = true;
            ++i;
            continue;
        }
        if (c == '\n') {
            out += "\r\n";
            m_atLineStart = true;
            ++i;
            continue;
        }
        if (m_atLineStart && c == '.')
            out += '.';
        // Copy the run up to the next line end at once.
        std::size_t j = i + 1;
        while (j < size && data[j] != '\r' && data[j] != '\n')
            ++j;
        out.append(data + i, j - i);
        m_atLineStart = false;
        i = j;
    }
}

void DataFilter::finish(std::string& out)
{
    if (m_pendingCR) {
        m_pendingCR = false;
        out += "\r\n";
        m_atLineStart = true;
    }
    if (!m_atLineStart) {
        out += "\r\n";
        m_atLineStart = true;
    }
}

void DataFilter::reset()
{
    m_atLineStart = true;
    m_pendingCR = false;
}

} // namespace SMailer
