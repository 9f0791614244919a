#include "platform/Mail.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include <curl/curl.h>

namespace {

bool IsAscii(const std::string& S) {
  for (unsigned char c : S)
    if (c >= 0x80 || c < 0x20) return false;
  return true;
}

std::string Base64(const std::string& S) {
  static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  size_t i = 0;
  for (; i + 2 < S.size(); i += 3) {
    unsigned v = (unsigned char)S[i] << 16 | (unsigned char)S[i + 1] << 8 | (unsigned char)S[i + 2];
    r += tbl[v >> 18 & 63];
    r += tbl[v >> 12 & 63];
    r += tbl[v >> 6 & 63];
    r += tbl[v & 63];
  }
  if (i + 1 == S.size()) {
    unsigned v = (unsigned char)S[i] << 16;
    r += tbl[v >> 18 & 63];
    r += tbl[v >> 12 & 63];
    r += "==";
  } else if (i + 2 == S.size()) {
    unsigned v = (unsigned char)S[i] << 16 | (unsigned char)S[i + 1] << 8;
    r += tbl[v >> 18 & 63];
    r += tbl[v >> 12 & 63];
    r += tbl[v >> 6 & 63];
    r += '=';
  }
  return r;
}

std::string HeaderText(const std::string& S) {
  return IsAscii(S) ? S : "=?UTF-8?B?" + Base64(S) + "?=";
}

// Header values never carry line breaks.
std::string OneLine(std::string S) {
  for (auto& c : S)
    if (c == '\r' || c == '\n') c = ' ';
  return S;
}

std::string DateHeader() {
  char buf[64];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
  return buf;
}

struct TUpload {
  std::string Data;
  size_t Pos = 0;
};

size_t ReadUpload(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
  auto* up = static_cast<TUpload*>(AUser);
  size_t n = std::min(ASize * ACount, up->Data.size() - up->Pos);
  std::memcpy(ABuffer, up->Data.data() + up->Pos, n);
  up->Pos += n;
  return n;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string QuotedPrintable(const std::vector<std::string>& ALines) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const auto& line : ALines) {
    std::string enc;
    size_t col = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      unsigned char c = line[i];
      bool last = i + 1 == line.size();
      std::string piece;
      if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
        piece = std::string(1, static_cast<char>(c));
      else {
        piece = "=";
        piece += hex[c >> 4];
        piece += hex[c & 15];
      }
      // A leading dot is encoded too, so no line of the body starts with one.
      if (col == 0 && c == '.') piece = "=2E";
      if (col + piece.size() > 75) {
        enc += "=\r\n";
        col = 0;
      }
      enc += piece;
      col += piece.size();
    }
    out += enc + "\r\n";
  }
  return out;
}

std::string FormatMailText(const TMailMessage& AMessage) {
  std::string t;
  t += "Date: " + DateHeader() + "\r\n";
  t += "From: " + OneLine(AMessage.From) + "\r\n";
  t += "To: " + OneLine(AMessage.To) + "\r\n";
  t += "Subject: " + HeaderText(OneLine(AMessage.Subject)) + "\r\n";
  t += "MIME-Version: 1.0\r\n";
  t += "Content-Type: text/plain; charset=UTF-8\r\n";
  t += "Content-Transfer-Encoding: quoted-printable\r\n";
  t += "\r\n";
  t += QuotedPrintable(AMessage.BodyLines);
  return t;
}

bool TCurlMailer::Send(const TSmtpSettings& AServer, const TMailMessage& AMessage, std::string& AError) {
  if (AServer.Host.empty()) {
    AError = "No mail server is configured";
    return false;
  }
  GlobalInit();
  CURL* curl = curl_easy_init();
  if (!curl) {
    AError = "Cannot create the mail client";
    return false;
  }
  TUpload up{FormatMailText(AMessage), 0};
  std::string url = "smtp://" + AServer.Host + ":" + std::to_string(AServer.Port);
  std::string from = "<" + OneLine(AMessage.From) + ">";
  curl_slist* rcpt = curl_slist_append(nullptr, ("<" + OneLine(AMessage.To) + ">").c_str());
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
  if (!AServer.User.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, AServer.User.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, AServer.Password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &up);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, AServer.ConnectTimeoutSec);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, AServer.TotalTimeoutSec);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) AError = *errbuf ? errbuf : curl_easy_strerror(rc);
  curl_slist_free_all(rcpt);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK;
}
