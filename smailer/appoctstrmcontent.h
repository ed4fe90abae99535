#pragma once

#include "smailer/bytesource.h"
#include "smailer/mimecontent.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace SMailer {

// A file attachment, base64 in lines of 76 characters each ended by a lone LF. The file is read
// when the body is asked for, on every call; a missing, unreadable or empty file gives the body
// the part already had (normally empty), never an error. Any size: the file is read in pieces.
class AppOctStrmContent final : public MimeContent {
public:
    explicit AppOctStrmContent(std::string filePath);
    // The attachment is exactly the first size bytes of the open file fd (not owned; it must stay
    // open while the part is used), named fileName. Unlike a part read by path, a file that cannot
    // be read whole is an error: MailException, never a shorter or an empty body.
    AppOctStrmContent(int fd, std::uint64_t size, std::string fileName);
    // The same for the bytes [offset, offset + size) of the open file: one piece of a report that
    // is sent in several mails.
    AppOctStrmContent(int fd, std::uint64_t offset, std::uint64_t size, std::string fileName);

    // The attachment is a source whose bytes may still be coming (a file still being written): it
    // goes out as its bytes come, and ends when the source ends; a source that fails is a
    // MailException, never a shorter body. sizeBound (at least the final size) is the size the
    // part reports before it is sent.
    AppOctStrmContent(std::shared_ptr<ByteSource> source, std::uint64_t sizeBound, std::string fileName);

    std::string getType() const override;
    std::string getDisposition() const override;
    std::string getTransEncoding() const override;
    std::string& getContent() override;
    void writeContent(const ContentSink& sink) override;
    bool wireSize(std::uint64_t& size) const override;

    // Bytes read from the file per piece: a multiple of 57, so pieces end on line boundaries.
    static constexpr std::size_t kPieceBytes = 57 * 1024 * 4;
    // How long one piece may keep the mail waiting: the server gives up on a silent client after
    // about as long (RFC 5321 4.5.3.2.7), so a longer wait only hides a stuck writer.
    static constexpr std::chrono::minutes kPieceWait{5};

private:
    // Streams the encoded file to sink; false when the file could not be opened or was empty.
    bool encodeFile(const ContentSink& sink) const;

    bool encodeSource(const ContentSink& sink) const;

    std::string filePath;
    std::string fileName;
    std::uint64_t size = 0;
    std::shared_ptr<ByteSource> source;
};

} // namespace SMailer
