#pragma once

#include "mimecontent.h"

namespace SMailer {

// A text part: the bytes are sent as given, in the encoding that charset names.
class TextPlainContent final : public MimeContent {
public:
    TextPlainContent(std::string content, std::string charset);

    std::string getType() const override;
    std::string getTransEncoding() const override;
    std::string& getContent() override;

private:
    std::string charset;
};

} // namespace SMailer
