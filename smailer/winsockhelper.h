#pragma once

namespace MUtils {

// Keeps the socket layer started for its lifetime. On Windows it starts Winsock 2.0 and throws
// WinSockException when it cannot; on POSIX systems there is nothing to start or stop.
class WinSockHelper {
public:
    WinSockHelper();
    ~WinSockHelper();
    WinSockHelper(const WinSockHelper&) = delete;
    WinSockHelper& operator=(const WinSockHelper&) = delete;
};

} // namespace MUtils
