#pragma once

#include <stdexcept>

namespace MUtils {

// A failure to start the socket layer.
class WinSockException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace MUtils
