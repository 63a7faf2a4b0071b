// Texts on the unit's side of the line: parsing the image announcement,
// shaping answer lines as the flags ask, and escaping bytes for the
// transcript.
#pragma once

#include <cstdint>
#include <string>

struct SimOptions;

struct VpdCommand {
  std::uint32_t index = 0;
  std::uint32_t size = 0;
  std::uint32_t flash = 0;  // as sent: 8 or 0x10
};

// Parses a command line (without its CR) of the form "VPD i size flash "
// with three hexadecimal fields separated by single blanks and one blank
// after the last. Returns false for anything else.
bool ParseVpd(const std::string& line, VpdCommand* out);

// The bytes of one answer line "text" CR LF; with `dirty`, a NUL after the
// first character and an extra CR before the line end ("A\0CK\r\r\n").
std::string AnswerLine(const std::string& text, bool dirty);

// `n` bytes of line noise from the generator state *seed (advanced; a zero
// state is taken as 1): runs of random bytes, NUL and CR among them, between
// LFs placed 1 to 300 bytes apart, so some lines overflow a 128-byte line
// buffer. The letters A, F and N never occur, so no run can pass for a reply
// ("ACK", "NAK", "FIN ..."), and the last byte is LF, so whatever follows
// starts a line of its own.
std::string FloodBytes(std::uint32_t* seed, long n);

// Bytes as a C-style quoted string: printable ASCII as is; CR, LF, NUL,
// tab, backslash and quote as \r \n \0 \t \\ \" ; \xNN for the rest.
std::string EscapeBytes(const std::string& bytes);
