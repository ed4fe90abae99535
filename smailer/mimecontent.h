#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace SMailer {

// Receives a body in pieces; the pieces are only valid during the call.
using ContentSink = std::function<void(const char* data, std::size_t size)>;

// One body part of a mail. Parts are owned by their creator; the mail record only points at
// them, and no part is deleted through this class (hence no virtual destructor).
class MimeContent {
public:
    explicit MimeContent(const std::string& content);

    virtual std::string getType() const = 0;
    // Empty: the part has no Content-Disposition line.
    virtual std::string getDisposition() const;
    virtual std::string getTransEncoding() const = 0;
    virtual std::string& getContent() = 0;
    // Hands the body to sink in pieces, the same bytes getContent() would return; parts with a
    // large body override it so that the body is never held whole.
    virtual void writeContent(const ContentSink& sink);
    // The body's size on the wire (every line end CRLF, transparency dots counted) when it is known
    // without reading it; false when it is not (the body is then measured by writing it).
    virtual bool wireSize(std::uint64_t& size) const;

protected:
    ~MimeContent() = default;
    std::string content;
};

} // namespace SMailer
