// A pseudo-terminal pair held by a test: the test plays the unit on the
// master side, the program under test opens the slave path.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Writes every byte to a non-blocking descriptor, waiting for room at most
// wait_ms each time. False on a write error, a hang-up or a wait that ran
// out.
bool WriteAllBytes(int fd, const std::string& bytes, int wait_ms);

// Reads fd into *pending until it holds `text`, timeout_ms passes or (with
// stop_on_hangup) the line hangs up. Returns *pending up to and with the
// text (all of it when the text never came) and leaves the rest in *pending.
std::string ReadUntilText(int fd, std::string* pending, const std::string& text, int timeout_ms,
                          bool stop_on_hangup);

// The program's side of a line, for a test that plays the downloader or the
// terminal by hand: opened raw and non-blocking at 19200 baud, without the
// exclusive hold the programs take, so that a test can set or check it.
class LineClient {
 public:
  explicit LineClient(const std::string& path);
  ~LineClient() { Close(); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close();
  void SetBaud(speed_t speed);
  // Writes every byte (each wait for room bounded by 5 s); false on a write
  // error (a hung-up line).
  bool Send(const std::string& bytes);
  bool Send(const std::vector<std::uint8_t>& bytes);
  // Reads until `text` has arrived (at most 5 s, or until a hang-up);
  // returns what came up to and with it, and keeps the rest for next time.
  std::string ReadUntil(const std::string& text);

 private:
  int fd_ = -1;
  std::string got_;
};

// "" when the next program can take the port at path: no flock held, no
// exclusive flag left on the pseudo-terminal; else what is wrong.
std::string PortIsFree(const std::string& path);

class PtyPair {
 public:
  PtyPair();   // raw mode on both sides; also holds a slave descriptor so the
               // pair survives the program's close and reopen
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return path_; }

  // Writes all bytes to the master side.
  void Send(const std::string& bytes);
  // Reads from the master until `count` bytes came or timeout_ms passed.
  std::string Receive(std::size_t count, int timeout_ms);
  // Reads until text appears in what was received, or timeout_ms passed.
  std::string ReceiveUntil(const std::string& text, int timeout_ms);
  // The speed the slave side is set to (tcgetattr), in baud; 0 if unknown.
  std::uint32_t SlaveBaud() const;
  // Clears a stale exclusive flag on the slave (TIOCNXCL).
  void ClearExclusive();
  // Closes the master: the program's side sees a hang-up.
  void HangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace testsupport
