#include "engine/core/OutputQueue.h"

#include <algorithm>

namespace harbix {
namespace {

// What a bulk transfer may hold in the kernel per direction: large moves mean few system calls;
// the bound keeps a slow peer from tying up more.
constexpr size_t kBulkPipe = 512 * 1024;
// Sends from a file go in pieces of this size, and the kernel is asked to read two ahead, so
// that a send seldom has to wait for the disk.
constexpr uint64_t kFilePiece = 1024 * 1024;

}  // namespace

void OutputQueue::Append(std::string_view sData) {
  if (sData.empty()) return;
  if (m_segments.empty() || m_segments.back().m_kind != Segment::Kind::kBytes) {
    m_segments.push_back(Segment{Segment::Kind::kBytes});
  }
  Segment& segment = m_segments.back();
  std::vector<char>& vBytes = segment.m_vBytes;
  if (segment.m_nHead > 0 && segment.m_nHead >= vBytes.size() / 2) {
    vBytes.erase(vBytes.begin(), vBytes.begin() + static_cast<std::ptrdiff_t>(segment.m_nHead));
    segment.m_nHead = 0;
  }
  vBytes.insert(vBytes.end(), sData.begin(), sData.end());
  m_cbBytes += sData.size();
}

void OutputQueue::AppendFile(std::shared_ptr<const File> lpFile, int64_t nOffset, uint64_t cbLength) {
  if (cbLength == 0 || !lpFile) return;
  Segment segment{Segment::Kind::kFile};
  segment.m_lpFile = std::move(lpFile);
  segment.m_nOffset = nOffset;
  segment.m_cbLeft = cbLength;
  segment.m_nReadAheadTo = nOffset;
  m_segments.push_back(std::move(segment));
}

bool OutputQueue::CanPipe() {
  // Piped bytes may follow anything, but nothing else may come between them.
  if (!m_segments.empty() && m_segments.back().m_kind != Segment::Kind::kPipe) return false;
  if (!m_pipe && m_bWantPipe && !m_bNoPipe) m_bNoPipe = !m_pipe.Open(kBulkPipe);
  return static_cast<bool>(m_pipe);
}

long OutputQueue::PipeFrom(Socket& from, size_t cbMax) {
  const long nMoved = from.SpliceIn(m_pipe, cbMax);
  if (nMoved > 0) {
    if (m_segments.empty()) m_segments.push_back(Segment{Segment::Kind::kPipe});
    m_segments.back().m_cbLeft += static_cast<uint64_t>(nMoved);
    m_cbPiped += static_cast<size_t>(nMoved);
  }
  return nMoved;
}

OutputQueue::SendResult OutputQueue::SendTo(Socket& socket, uint64_t* pcbSent) {
  *pcbSent = 0;
  while (!m_segments.empty()) {
    const SendResult result = SendFront(socket, pcbSent);
    if (result != SendResult::kDone) return result;
  }
  return SendResult::kDone;
}

OutputQueue::SendResult OutputQueue::SendFront(Socket& socket, uint64_t* pcbSent) {
  Segment& segment = m_segments.front();
  long nSent = 0;
  size_t cbWanted = 0;
  switch (segment.m_kind) {
    case Segment::Kind::kBytes:
      cbWanted = segment.m_vBytes.size() - segment.m_nHead;
      nSent = socket.Send(segment.m_vBytes.data() + segment.m_nHead, cbWanted);
      if (nSent > 0) {
        segment.m_nHead += static_cast<size_t>(nSent);
        m_cbBytes -= static_cast<size_t>(nSent);
      }
      break;
    case Segment::Kind::kPipe:
      cbWanted = static_cast<size_t>(segment.m_cbLeft);
      nSent = socket.SpliceOut(m_pipe, cbWanted);
      if (nSent > 0) {
        segment.m_cbLeft -= static_cast<uint64_t>(nSent);
        m_cbPiped -= static_cast<size_t>(nSent);
      }
      break;
    case Segment::Kind::kFile:
      if (segment.m_nOffset >= segment.m_nReadAheadTo) {
        segment.m_lpFile->ReadAhead(segment.m_nOffset, 2 * kFilePiece);
        segment.m_nReadAheadTo = segment.m_nOffset + static_cast<int64_t>(kFilePiece);
      }
      cbWanted = static_cast<size_t>(std::min(segment.m_cbLeft, kFilePiece));
      nSent = socket.SendFile(segment.m_lpFile->Fd(), &segment.m_nOffset, cbWanted);
      if (nSent == 0) {
        errno = EIO;  // the file is shorter than the range: what was promised cannot be sent
        return SendResult::kFailed;
      }
      if (nSent > 0) segment.m_cbLeft -= static_cast<uint64_t>(nSent);
      break;
  }
  if (nSent < 0) return WouldBlock(errno) ? SendResult::kBlocked : SendResult::kFailed;
  *pcbSent += static_cast<uint64_t>(nSent);
  const bool bGone = segment.m_kind == Segment::Kind::kBytes ? segment.m_nHead == segment.m_vBytes.size() : segment.m_cbLeft == 0;
  if (bGone) {
    m_segments.erase(m_segments.begin());
    // An idle session keeps nothing of its last burst.
    if (m_segments.empty()) m_segments.shrink_to_fit();
  } else if (static_cast<size_t>(nSent) < cbWanted) {
    return SendResult::kBlocked;  // the socket took what it could
  }
  return SendResult::kDone;
}

void OutputQueue::Clear() {
  m_segments.clear();
  m_segments.shrink_to_fit();
  m_cbBytes = 0;
  if (m_cbPiped > 0) m_pipe.Close();  // bytes in the pipe cannot be dropped otherwise
  m_cbPiped = 0;
}

}  // namespace harbix
