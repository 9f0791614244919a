#include "app/Report.h"

std::string MediaLogLine(uint32_t AThreadID, TLogLevel ALevel, const std::string& AMessage) {
  return "#" + std::to_string(AThreadID) + "." + std::to_string(static_cast<int>(ALevel)) + ": " + AMessage;
}

bool IsPlainMailAddress(const std::string& AText) {
  if (AText.empty() || AText.size() > 254) return false;
  size_t at = AText.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == AText.size() ||
      AText.find('@', at + 1) != std::string::npos)
    return false;
  for (unsigned char c : AText) {
    if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == ',' || c == '"' || c == '(' || c == ')' ||
        c == ';' || c == ':' || c == '\\' || c == '[' || c == ']')
      return false;
  }
  return true;
}

std::string PercentEncode(const std::string& AText) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : AText) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

std::string ReportMailtoAddress(const std::string& ASupport, const std::string& AMessage,
                                const std::string& AMark) {
  std::string body = AMessage + " ;CODE LINE MARK:" + AMark + ";  YOUR COMMENT (DETAILS):";
  std::string to = IsPlainMailAddress(ASupport) ? ASupport : std::string();
  return "mailto:" + to + "?subject=" + PercentEncode(ReportSubject) + "&body=" + PercentEncode(body);
}

std::vector<std::string> SplitLines(const std::string& AText) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

void AppendReportSections(std::vector<std::string>& AReportLines, const std::vector<std::string>& AEventLines,
                          const TReportInput& AInput) {
  const std::string rule(25, '-');
  AReportLines.push_back(rule);
  AReportLines.push_back("ACTION HISTORY:");
  AReportLines.insert(AReportLines.end(), AEventLines.begin(), AEventLines.end());
  AReportLines.push_back(rule);
  AReportLines.push_back("LAST ERROR MESSAGE: " + AInput.Message);
  AReportLines.push_back("CODE LINE MARK: " + AInput.Mark);
  if (!AInput.UserName.empty()) AReportLines.push_back("USER NAME: " + AInput.UserName);
  if (!AInput.Details.empty()) {
    AReportLines.push_back("PROBLEM DETAILS:");
    for (auto& l : SplitLines(AInput.Details)) AReportLines.push_back(l);
  }
}

TReportOutcome SendErrorReport(const TReportConfig& AConfig, IMailer& AMailer, IShellOpener& AOpener,
                               std::vector<std::string>& AReportLines,
                               const std::vector<std::string>& AEventLines, const TReportInput& AInput,
                               std::string& AError) {
  TSmtpSettings server;
  server.Host = AConfig.Server;
  server.Port = AConfig.Port;
  server.User = AConfig.User.empty() ? AConfig.ReportMailbox : AConfig.User;
  server.Password = AConfig.Password;

  TMailMessage mail;
  mail.From = IsPlainMailAddress(AInput.UserEmail) ? AInput.UserEmail : AConfig.ReportMailbox;
  mail.To = AConfig.SupportMailbox;
  mail.Subject = ReportSubject;
  AppendReportSections(AReportLines, AEventLines, AInput);
  mail.BodyLines = AReportLines;

  if (AMailer.Send(server, mail, AError)) return TReportOutcome::Sent;
  std::string openErr;
  if (AOpener.Open(ReportMailtoAddress(AConfig.SupportMailbox, AInput.Message, AInput.Mark), openErr))
    return TReportOutcome::MailtoOpened;
  AError += "; " + openErr;
  return TReportOutcome::NothingOpened;
}
