#include "smailer/appoctstrmcontent.h"

#include "smailer/base64helper.h"
#include "smailer/mailexception.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

namespace SMailer {

namespace {

// The last path component: after the last slash or backslash and after a drive prefix.
std::string lastComponent(const std::string& path)
{
    std::string rest = path;
    if (rest.size() >= 2 && rest[1] == ':' &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z')))
        rest.erase(0, 2);
    const std::size_t sep = rest.find_last_of("/\\");
    return sep == std::string::npos ? rest : rest.substr(sep + 1);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

AppOctStrmContent::AppOctStrmContent(std::string filePath)
    : MimeContent(std::string()), filePath(std::move(filePath)), fileName(lastComponent(this->filePath))
{
}

AppOctStrmContent::AppOctStrmContent(int fd, std::uint64_t size, std::string fileName)
    : MimeContent(std::string()), fileName(lastComponent(fileName)), fd(fd), size(size)
{
}

AppOctStrmContent::AppOctStrmContent(int fd, std::uint64_t offset, std::uint64_t size, std::string fileName)
    : MimeContent(std::string()), fileName(lastComponent(fileName)), fd(fd), offset(offset), size(size)
{
}

AppOctStrmContent::AppOctStrmContent(std::shared_ptr<GrowingFile> growing, std::uint64_t sizeBound,
                                     std::string fileName)
    : MimeContent(std::string()), fileName(lastComponent(fileName)), fd(growing->fd()), size(sizeBound),
      growing(std::move(growing))
{
}

bool AppOctStrmContent::wireSize(std::uint64_t& wire) const
{
    if (fd < 0)
        return false;
    // Lines of 76 characters and CRLF; a base64 line never starts with a dot.
    const std::uint64_t lines = size / Base64Helper::kLineBytes;
    const std::uint64_t rest = size % Base64Helper::kLineBytes;
    wire = lines * 78 + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
    return true;
}

std::string AppOctStrmContent::getType() const
{
    return "application/octet-stream; name=" + fileName;
}

std::string AppOctStrmContent::getDisposition() const
{
    return "attachment; filename=" + fileName;
}

std::string AppOctStrmContent::getTransEncoding() const
{
    return "base64";
}

std::string& AppOctStrmContent::getContent()
{
    std::string encoded;
    if (encodeFile([&encoded](const char* data, std::size_t size) { encoded.append(data, size); }))
        content.swap(encoded);
    return content;
}

void AppOctStrmContent::writeContent(const ContentSink& sink)
{
    if (!encodeFile(sink) && !content.empty())
        sink(content.data(), content.size());
}

bool AppOctStrmContent::encodeOpenFile(const ContentSink& sink) const
{
    std::vector<unsigned char> piece(kPieceBytes);
    std::string encoded;
    encoded.reserve(kPieceBytes / 57 * 77);
    std::uint64_t done = 0;
    while (done < size) {
        const std::uint64_t left = size - done;
        const std::size_t want = left < piece.size() ? static_cast<std::size_t>(left) : piece.size();
        std::size_t filled = 0;
        while (filled < want) {
            const ssize_t got =
                ::pread(fd, piece.data() + filled, want - filled, static_cast<off_t>(offset + done + filled));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw MailException("Attachment read error"); // removed, truncated or unreadable
            filled += static_cast<std::size_t>(got);
        }
        encoded.clear();
        Base64Helper::encodeLines(piece.data(), filled, encoded);
        sink(encoded.data(), encoded.size());
        done += filled;
    }
    return size > 0;
}

bool AppOctStrmContent::encodeGrowingFile(const ContentSink& sink) const
{
    std::vector<unsigned char> piece(kPieceBytes);
    std::string encoded;
    encoded.reserve(kPieceBytes / 57 * 77);
    std::uint64_t done = 0;
    for (;;) {
        // A whole piece, so that lines are whole; a shorter one only at the end.
        const GrowingFile::State state = growing->waitFor(done + kPieceBytes);
        if (state.ended && !state.complete)
            throw MailException("Attachment read error", "the report archive could not be made");
        if (state.size <= done) {
            if (state.ended)
                return done > 0;
            continue;
        }
        const std::uint64_t left = state.size - done;
        const std::size_t want = left < piece.size() ? static_cast<std::size_t>(left) : piece.size();
        std::size_t filled = 0;
        while (filled < want) {
            const ssize_t got = ::pread(fd, piece.data() + filled, want - filled, static_cast<off_t>(done + filled));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw MailException("Attachment read error");
            filled += static_cast<std::size_t>(got);
        }
        encoded.clear();
        Base64Helper::encodeLines(piece.data(), filled, encoded);
        sink(encoded.data(), encoded.size());
        done += filled;
    }
}

bool AppOctStrmContent::encodeFile(const ContentSink& sink) const
{
    if (growing)
        return encodeGrowingFile(sink);
    if (fd >= 0)
        return encodeOpenFile(sink);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(filePath.c_str(), "rb"));
    if (!file)
        return false;
    std::vector<unsigned char> piece(kPieceBytes);
    std::string encoded;
    encoded.reserve(kPieceBytes / 57 * 77);
    bool any = false;
    for (;;) {
        // Fill the piece completely (fread may return short counts) so that lines are whole.
        std::size_t filled = 0;
        while (filled < piece.size()) {
            const std::size_t got = std::fread(piece.data() + filled, 1, piece.size() - filled, file.get());
            if (got == 0)
                break;
            filled += got;
        }
        if (filled == 0)
            break;
        // Only the bytes actually read are encoded; a file that shrinks while it is read ends early.
        encoded.clear();
        Base64Helper::encodeLines(piece.data(), filled, encoded);
        sink(encoded.data(), encoded.size());
        any = true;
        if (filled < piece.size())
            break;
    }
    return any;
}

} // namespace SMailer
