// File names handed to the media libraries.
//
// Names are UTF-8 on Linux and go to the libraries as they are. A name in the
// "unicode:utf8:<name>" form (as stored by older settings or typed by a user)
// opens through our own AVIOContext on the decoded path. Every open of a
// media file goes through FFOpenInput / FFOpenOutputIO so that both forms and
// the interrupt callback are handled in one place.
#pragma once

#include <string>

#include "util/FFApi.h"

// The 8-bit character set names are converted to; tests may switch it to
// "ANSI_X3.4-1968" (ASCII) to force the "unicode:utf8:" form.
void SetLibraryCodeset(const std::string& ACodeset); // empty = the locale's
std::string LibraryCodeset();

bool NeedsUnicodeName(const std::string& AName);
std::string ToLibraryName(const std::string& AName);
bool IsUnicodeURL(const std::string& AName);
std::string FromLibraryName(const std::string& AName);

// avformat_open_input with the interrupt callback set and "unicode:utf8:"
// names opened through our own I/O. On failure *ACtx is null and nothing is
// left open. AOpts may be null.
int FFOpenInput(AVFormatContext** ACtx, const std::string& AURL, const AVInputFormat* AFormat,
                AVDictionary** AOpts);
// Closes an input opened with FFOpenInput (also our own I/O); sets *ACtx null.
void FFCloseInput(AVFormatContext** ACtx);

// Opens AOutput->pb for AURL unless the muxer needs no file. AFlags are
// AVIO_FLAG_*.
int FFOpenOutputIO(AVFormatContext* AOutput, const std::string& AURL, int AFlags, AVDictionary** AOpts);
// Closes the pb of an output (ours or the library's); leaves the context.
void FFCloseOutputIO(AVFormatContext* AOutput);

// An AVIOContext over a file for "unicode:utf8:" names; exposed for tests.
// Returns null and sets *AError (negative AVERROR) on failure.
AVIOContext* OpenUnicodeIO(const std::string& AURL, int AFlags, int* AError);
void CloseUnicodeIO(AVIOContext** AIO);
bool IsUnicodeIO(const AVIOContext* AIO);
