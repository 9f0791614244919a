// The error report: the media log lines gathered in ReportLines, the report
// sections appended when a report is sent, the mail and the mailto fallback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "log/FFLog.h"
#include "platform/Mail.h"
#include "platform/ShellOpen.h"

inline constexpr const char* ReportHistoryLine = "FFLOGGER HISTORY:";
inline constexpr const char* ReportSubject = "ERROR REPORT | Tavrik Sondel";

// "#<thread id>.<level number>: <message>"
std::string MediaLogLine(uint32_t AThreadID, TLogLevel ALevel, const std::string& AMessage);

// One plain address: local@domain, no spaces, control characters, "<", ">"
// or ",".
bool IsPlainMailAddress(const std::string& AText);

// Percent-encodes everything but unreserved characters (UTF-8 bytes).
std::string PercentEncode(const std::string& AText);

// mailto:<support>?subject=...&body=<message> ;CODE LINE MARK:<mark>;  YOUR COMMENT (DETAILS):
std::string ReportMailtoAddress(const std::string& ASupport, const std::string& AMessage,
                                const std::string& AMark);

// Splits text into lines at CR LF, LF or CR (no trailing empty line).
std::vector<std::string> SplitLines(const std::string& AText);

struct TReportInput {
  std::string Message;
  std::string Mark;
  std::string UserName;
  std::string UserEmail;
  std::string Details;
};

// Appends the report sections to AReportLines.
void AppendReportSections(std::vector<std::string>& AReportLines, const std::vector<std::string>& AEventLines,
                          const TReportInput& AInput);

enum class TReportOutcome { Sent, MailtoOpened, NothingOpened };

// Sends a report: appends the sections, mails all of AReportLines, and opens
// the mailto fallback when the mail cannot be sent. AError holds the mail
// client's (and, when it failed too, the opener's) message.
TReportOutcome SendErrorReport(const TReportConfig& AConfig, IMailer& AMailer, IShellOpener& AOpener,
                               std::vector<std::string>& AReportLines,
                               const std::vector<std::string>& AEventLines, const TReportInput& AInput,
                               std::string& AError);
