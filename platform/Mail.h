// Sending one plain-text mail over SMTP (libcurl). STARTTLS is used when the
// server offers it; the login is sent only when a user name is set.
#pragma once

#include <string>
#include <vector>

struct TSmtpSettings {
  std::string Host;
  int Port = 26;
  std::string User;
  std::string Password;
  long ConnectTimeoutSec = 15;
  long TotalTimeoutSec = 60;
};

struct TMailMessage {
  std::string From;
  std::string To;
  std::string Subject;
  std::vector<std::string> BodyLines; // UTF-8
};

class IMailer {
public:
  virtual ~IMailer() = default;
  // False with AError when the server could not be reached, refused the
  // login or the message.
  virtual bool Send(const TSmtpSettings& AServer, const TMailMessage& AMessage, std::string& AError) = 0;
};

class TCurlMailer : public IMailer {
public:
  bool Send(const TSmtpSettings& AServer, const TMailMessage& AMessage, std::string& AError) override;
};

// The message in its transfer form (headers, CRLF line ends, the body
// quoted-printable).
std::string FormatMailText(const TMailMessage& AMessage);
std::string QuotedPrintable(const std::vector<std::string>& ALines);
