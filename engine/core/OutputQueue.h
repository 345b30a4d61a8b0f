// What waits to be sent on one socket, in order: bytes held in memory, bytes held in a kernel
// pipe (a bulk relay splices them in from the other socket, so they never pass through the
// process), and ranges of files (sent straight from the file, read only as fast as the socket
// takes them).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/File.h"
#include "platform/Pipe.h"
#include "platform/Socket.h"

namespace harbix {

class OutputQueue {
 public:
  // What one send step found.
  enum class SendResult { kDone, kBlocked, kFailed };

  // Copies bytes in behind what waits. Throws std::bad_alloc when it cannot grow.
  void Append(std::string_view sData);
  // A range of a file, sent after what waits. Only the file is held, never its contents.
  void AppendFile(std::shared_ptr<const File> lpFile, int64_t nOffset, uint64_t cbLength);

  // Whether bytes from a socket may go into the pipe now: only when nothing but piped bytes
  // waits at the back, so that the order stays. Opens the pipe on the first use; false (and the caller
  // copies) when there is no pipe to be had.
  bool CanPipe();
  // What the pipe can take now.
  size_t PipeRoom() const { return m_pipe.Capacity() - std::min(m_pipe.Capacity(), m_cbPiped); }
  // Splices what the socket has waiting into the pipe, at most cbMax (its room). As
  // Socket::SpliceIn: the count, 0 at the end of the stream, -1 with errno.
  long PipeFrom(Socket& from, size_t cbMax);
  // The socket's stream is a bulk transfer: later moves into this queue go through a pipe.
  void WantPipe() { m_bWantPipe = true; }
  bool Piping() const { return static_cast<bool>(m_pipe); }

  // Sends as much as the socket takes now, segment after segment; *pcbSent counts what went.
  SendResult SendTo(Socket& socket, uint64_t* pcbSent);

  // What weighs on memory and the kernel: bytes and piped bytes (files are read on demand).
  size_t Pending() const { return m_cbBytes + m_cbPiped; }
  bool Empty() const { return m_segments.empty(); }
  // Drops everything that waits.
  void Clear();

 private:
  struct Segment {
    enum class Kind { kBytes, kPipe, kFile } m_kind;
    std::vector<char> m_vBytes;  // kBytes
    size_t m_nHead = 0;          // kBytes: sent bytes at the front, dropped lazily
    uint64_t m_cbLeft = 0;       // kPipe, kFile
    std::shared_ptr<const File> m_lpFile;
    int64_t m_nOffset = 0;
    int64_t m_nReadAheadTo = 0;  // kFile: what the kernel was asked to read ahead up to
  };
  // One send of the front segment; kDone when it is gone, then the next may go.
  SendResult SendFront(Socket& socket, uint64_t* pcbSent);

  // In order, the front first; a queue holds a segment or two, and an empty one costs nothing.
  std::vector<Segment> m_segments;
  size_t m_cbBytes = 0;
  size_t m_cbPiped = 0;
  Pipe m_pipe;
  bool m_bWantPipe = false;
  bool m_bNoPipe = false;  // a pipe could not be made: stay with copies
};

}  // namespace harbix
