// A pseudo-terminal pair held by a test: the test plays the unit on the
// master side, the program under test opens the slave path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

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
