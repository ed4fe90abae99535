#pragma once

namespace SMailer {

// The same for every mail.
inline constexpr const char Boundary[] = "#BOUNDARY#";
inline constexpr const char MailerName[] = "SMailer";

namespace Priority {
inline constexpr const char High[] = "1";
inline constexpr const char Normal[] = "3";
inline constexpr const char Low[] = "5";
} // namespace Priority

} // namespace SMailer
