// The error of a running conversion job.
//
// Inside a job every error is raised as FFmpegException carrying its final
// message; the job catches it at its top step and keeps it as FatalMessage.
// Kept in its own small header so that the option code can raise it without
// pulling in the whole job class.
#pragma once

#include <stdexcept>
#include <string>

#include <fmt/printf.h>

class FFmpegException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Raises FFmpegException with a printf-style message.
template <typename... Args> [[noreturn]] void RaiseFFmpeg(const char* AFormat, const Args&... AArgs) {
  throw FFmpegException(fmt::sprintf(AFormat, AArgs...));
}
[[noreturn]] inline void RaiseFFmpeg(const std::string& AMessage) {
  throw FFmpegException(AMessage);
}
