#include "smailer/appoctstrmcontent.h"

#include "smailer/base64helper.h"
#include "smailer/mailexception.h"

#include <cstdio>
#include <memory>
#include <vector>

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
    : AppOctStrmContent(fd, 0, size, std::move(fileName))
{
}

AppOctStrmContent::AppOctStrmContent(int fd, std::uint64_t offset, std::uint64_t size, std::string fileName)
    : MimeContent(std::string()), fileName(lastComponent(fileName)), size(size),
      source(fd >= 0 ? std::make_shared<FileRange>(fd, offset, size) : nullptr)
{
}

AppOctStrmContent::AppOctStrmContent(std::shared_ptr<ByteSource> source, std::uint64_t sizeBound,
                                     std::string fileName)
    : MimeContent(std::string()), fileName(lastComponent(fileName)), size(sizeBound), source(std::move(source))
{
}

bool AppOctStrmContent::wireSize(std::uint64_t& wire) const
{
    if (!source)
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

bool AppOctStrmContent::encodeSource(const ContentSink& sink) const
{
    std::vector<unsigned char> piece(kPieceBytes);
    std::string encoded;
    encoded.reserve(kPieceBytes / 57 * 77);
    std::uint64_t done = 0;
    for (;;) {
        // A whole piece, so that lines are whole; a shorter one only at the end.
        const std::size_t filled =
            source->read(done, piece.data(), piece.size(), std::chrono::steady_clock::now() + kPieceWait);
        if (filled == 0)
            return done > 0;
        encoded.clear();
        Base64Helper::encodeLines(piece.data(), filled, encoded);
        sink(encoded.data(), encoded.size());
        done += filled;
    }
}

bool AppOctStrmContent::encodeFile(const ContentSink& sink) const
{
    if (source)
        return encodeSource(sink);
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
