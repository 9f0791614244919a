// SMTP mail through libcurl against a real server on the loopback interface.
#include <gtest/gtest.h>

#include "platform/Mail.h"
#include "tests/platform/SmtpServer.h"
#include "tests/support/TestSupport.h"

using testsupport::TTempDir;

namespace {
TMailMessage Sample() {
  TMailMessage m;
  m.From = "reporter@tavrik.example";
  m.To = "support@tavrik.example";
  m.Subject = "ERROR REPORT | Tavrik Sondel";
  m.BodyLines = {"FFLOGGER HISTORY:",
                 ".a line starting with a dot",
                 ".",
                 "Ünïcödé 曲 = sign",
                 std::string(200, 'x'),
                 "trailing space ",
                 ""};
  return m;
}
} // namespace

TEST(Mail, DeliversThroughALoginToTheLoopbackServer) {
  TTempDir dir;
  TTestSmtpServer server;
  ASSERT_TRUE(server.Start(dir.Path().string(), "reports@tavrik.example", "s3cret")) << server.Error;
  TSmtpSettings s{"127.0.0.1", server.Port, "reports@tavrik.example", "s3cret"};
  TCurlMailer mailer;
  std::string err;
  TMailMessage m = Sample();
  ASSERT_TRUE(mailer.Send(s, m, err)) << err;

  auto got = server.Messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Head["mail_from"], m.From);
  EXPECT_EQ(got[0].Head["rcpt_to"], m.To);
  EXPECT_EQ(got[0].Head["login"], "reports@tavrik.example");
  EXPECT_EQ(got[0].Head["from"], m.From);
  EXPECT_EQ(got[0].Head["to"], m.To);
  EXPECT_EQ(got[0].Head["subject"], m.Subject);
  std::string expected;
  for (auto& l : m.BodyLines) expected += l + "\n";
  std::string body = got[0].Body;
  for (size_t p; (p = body.find("\r\n")) != std::string::npos;) body.erase(p, 1);
  EXPECT_EQ(body, expected);
}

TEST(Mail, RefusedLoginAndClosedPortFail) {
  TTempDir dir;
  TTestSmtpServer server;
  ASSERT_TRUE(server.Start(dir.Path().string(), "reports@tavrik.example", "s3cret")) << server.Error;
  TCurlMailer mailer;
  std::string err;
  TSmtpSettings wrong{"127.0.0.1", server.Port, "reports@tavrik.example", "wrong"};
  EXPECT_FALSE(mailer.Send(wrong, Sample(), err));
  EXPECT_FALSE(err.empty());
  TSmtpSettings closed{"127.0.0.1", ClosedLoopbackPort(), "u", "p", 5, 10};
  err.clear();
  EXPECT_FALSE(mailer.Send(closed, Sample(), err));
  EXPECT_FALSE(err.empty());
  TSmtpSettings none{};
  EXPECT_FALSE(mailer.Send(none, Sample(), err));
  EXPECT_TRUE(server.Messages().empty());
}

TEST(Mail, HeaderValuesCannotInjectLines) {
  TMailMessage m = Sample();
  m.Subject = "x\r\nBcc: victim@example.org";
  std::string text = FormatMailText(m);
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos);
  // Every body line is at most 76 characters and ends with CR LF.
  size_t start = text.find("\r\n\r\n") + 4;
  for (size_t p = start; p < text.size();) {
    size_t e = text.find("\r\n", p);
    ASSERT_NE(e, std::string::npos);
    EXPECT_LE(e - p, 76u);
    EXPECT_NE(text[p], '.');
    p = e + 2;
  }
}
