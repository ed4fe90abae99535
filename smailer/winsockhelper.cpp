#include "smailer/winsockhelper.h"

#include "smailer/winsockexception.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace MUtils {

WinSockHelper::WinSockHelper()
{
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(0x0002, &data) != 0)
        throw WinSockException("WSAStartup error");
    if (data.wVersion != 0x0002) {
        WSACleanup();
        throw WinSockException("Winsock version not support");
    }
#endif
}

WinSockHelper::~WinSockHelper()
{
#ifdef _WIN32
    WSACleanup();
#endif
}

} // namespace MUtils
