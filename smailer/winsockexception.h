#pragma once

#include <exception>
#include <string>

namespace MUtils {

// A failure to start the socket layer.
class WinSockException : public std::exception {
public:
    explicit WinSockException(std::string message) : message(std::move(message)) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

} // namespace MUtils
