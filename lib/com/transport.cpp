// Frames over byte streams. The client blocks for its reply, which is the
// whole of its concurrency model (calls are synchronous from one thread); the
// server never blocks on a client, so one slow or silent peer cannot stall
// the others.
#include "com/transport.h"

#include <algorithm>
#include <atomic>

#include "com/apartment.h"
#include "host/lastError.h"
#include "host/socket.h"

namespace {

// Set once the thread's list is gone: a proxy released by a later
// destructor (of a static, say) must not touch it.
thread_local bool t_channelsGone = false;

// The channels of this thread, for CoUninitialize; not owning.
struct ThreadChannels {
  std::vector<ComChannel *> list;
  ~ThreadChannels() {
    // The thread ends with channels still held (leaked proxies): close their
    // streams now; the objects go with their last proxy.
    for (ComChannel *c : list) {
      c->Disconnect();
    }
    t_channelsGone = true;
  }
};
thread_local ThreadChannels t_channels;

std::atomic<int> g_callTimeoutMs{60000};

}  // namespace

void ComChannel::SetCallTimeout(int timeoutMs) { g_callTimeoutMs = timeoutMs; }

int ComChannel::CallTimeout() { return g_callTimeoutMs; }

ComChannel::ComChannel(int fd) : fd_(fd) {
  HostStream_SetTimeout(fd_, g_callTimeoutMs);
  Com_SetThreadCleanup(&ComChannel::DisconnectThread);
  if (!t_channelsGone) {
    t_channels.list.push_back(this);
  }
}

ComChannel::~ComChannel() {
  Disconnect();
  if (!t_channelsGone) {
    auto &list = t_channels.list;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void ComChannel::Release() {
  if (--refs_ == 0) {
    delete this;
  }
}

bool ComChannel::PeerOpen() const { return !HostStream_PeerClosed(fd_); }

void ComChannel::Disconnect() {
  if (fd_ >= 0 && !pending_.empty()) {
    HostStream_WriteAll(fd_, pending_.data(), pending_.size());
  }
  Close();
}

void ComChannel::Close() {
  pending_.clear();
  in_.clear();
  HostStream_Close(fd_);
  fd_ = -1;
}

void ComChannel::DisconnectThread() {
  if (t_channelsGone) {
    return;
  }
  for (ComChannel *c : t_channels.list) {
    c->Disconnect();
  }
}

void ComChannel::Send(ComFrameWriter *message) {
  if (fd_ < 0) {
    return;
  }
  if (!message->Finish()) {
    Close();
    return;
  }
  // Held back until the next call or the disconnection, which write them
  // ahead of their own bytes: the server sees the same messages in the same
  // order, woken once instead of once for each.
  pending_.insert(pending_.end(), message->Bytes().begin(), message->Bytes().end());
}

HRESULT ComChannel::Call(ComFrameWriter *request, std::vector<uint8_t> *reply) {
  uint64_t ticket = 0;
  HRESULT hr = Post(request, &ticket);
  return FAILED(hr) ? hr : Collect(ticket, reply);
}

HRESULT ComChannel::Post(ComFrameWriter *request, uint64_t *ticket) {
  if (fd_ < 0) {
    return RPC_E_DISCONNECTED;
  }
  if (!request->Finish()) {
    return E_INVALIDARG;
  }
  pending_.insert(pending_.end(), request->Bytes().begin(), request->Bytes().end());
  *ticket = posted_++;
  return S_OK;
}

HRESULT ComChannel::Collect(uint64_t ticket, std::vector<uint8_t> *reply) {
  for (;;) {
    // A reply read for a call made after it (one made while it was ahead)
    // waits here, also once the stream has failed.
    if (auto early = early_.find(ticket); early != early_.end()) {
      *reply = std::move(early->second);
      early_.erase(early);
      return S_OK;
    }
    if (fd_ < 0 || ticket < answered_ || ticket >= posted_) {
      return RPC_E_DISCONNECTED;
    }
    HRESULT hr = NextReply(reply);
    if (FAILED(hr)) {
      return hr;
    }
    if (answered_++ == ticket) {
      return S_OK;
    }
    early_[answered_ - 1] = std::move(*reply);
  }
}

HRESULT ComChannel::NextReply(std::vector<uint8_t> *reply) {
  // Only when the request answered next is still held back: releases made
  // meanwhile wait for the next request, which carries them.
  if (answered_ >= written_ && !pending_.empty()) {
    bool written = HostStream_WriteAll(fd_, pending_.data(), pending_.size());
    pending_.clear();
    written_ = posted_;
    if (!written) {
      // A blocking stream reads as busy only when its timeout passed.
      bool timedOut = Host_ErrorKind(Host_GetLastError()) == HOST_ERROR_BUSY;
      Close();
      return timedOut ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED;
    }
  }
  HRESULT hr = Receive(COM_FRAME_HEADER);
  if (FAILED(hr)) {
    return hr;
  }
  size_t frameSize = 0;
  if (ComFrame_Check(in_.data(), COM_FRAME_HEADER, &frameSize) != COM_FRAME_INCOMPLETE) {
    // A header alone is a whole frame only for an empty payload, no reply.
    Close();
    return RPC_E_DISCONNECTED;
  }
  uint32_t length = static_cast<uint32_t>(in_[0]) | static_cast<uint32_t>(in_[1]) << 8 |
                    static_cast<uint32_t>(in_[2]) << 16 | static_cast<uint32_t>(in_[3]) << 24;
  if (length > COM_FRAME_MAX) {
    Close();
    return RPC_E_DISCONNECTED;
  }
  hr = Receive(COM_FRAME_HEADER + length);
  if (FAILED(hr)) {
    return hr;
  }
  auto payload = in_.begin() + COM_FRAME_HEADER;
  reply->assign(payload, payload + length);
  // Whatever the server sent past the reply waits for the next call.
  in_.erase(in_.begin(), payload + length);
  if ((*reply)[0] != COM_MSG_REPLY && (*reply)[0] != COM_MSG_REPLY_FIXED) {
    Close();
    return RPC_E_DISCONNECTED;
  }
  return S_OK;
}

HRESULT ComChannel::Receive(size_t size) {
  // One read takes a whole small reply, header and payload together. It
  // lands on the stack and only the bytes that came are kept: growing the
  // vector for it zeroed the room first, which cost more than the call.
  uint8_t buf[16384];
  while (in_.size() < size) {
    // A read blocked on the socket is woken, for nothing, when the server
    // takes the request; a wait for input alone sleeps through that.
    if (!HostStream_WaitReadable(fd_, g_callTimeoutMs)) {
      Close();
      return RPC_E_TIMEOUT;
    }
    long n = HostStream_Read(fd_, buf, sizeof buf);
    if (n <= 0) {
      // A blocking stream has nothing to read only when its timeout passed.
      Close();
      return n == HOSTSTREAM_AGAIN ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED;
    }
    in_.insert(in_.end(), buf, buf + n);
  }
  return S_OK;
}

bool ComServerStream::Fill() {
  uint8_t buf[16384];
  for (;;) {
    long n = HostStream_Read(fd, buf, sizeof buf);
    if (n > 0) {
      in.insert(in.end(), buf, buf + n);
      // Enough for any frame plus the start of the next; the rest waits in
      // the socket until this much has been handled. A short read emptied
      // the socket: asking again would only be told so.
      if (in.size() > 2 * COM_FRAME_MAX || static_cast<size_t>(n) < sizeof buf) {
        return true;
      }
      continue;
    }
    return n == HOSTSTREAM_AGAIN;
  }
}

ComFrameState ComServerStream::Next(const uint8_t **payload, size_t *size) {
  ComFrameState state = ComFrame_Check(in.data(), in.size(), &frameSize_);
  if (state == COM_FRAME_COMPLETE) {
    *payload = in.data() + COM_FRAME_HEADER;
    *size = frameSize_ - COM_FRAME_HEADER;
  }
  return state;
}

void ComServerStream::Consume() {
  in.erase(in.begin(), in.begin() + static_cast<long>(frameSize_));
  frameSize_ = 0;
}

void ComServerStream::Hold(const ComFrameWriter &frame) {
  out.insert(out.end(), frame.Bytes().begin(), frame.Bytes().end());
}

bool ComServerStream::Flush() {
  while (outSent < out.size()) {
    long n = HostStream_Write(fd, out.data() + outSent, out.size() - outSent);
    if (n == HOSTSTREAM_AGAIN) {
      return true;
    }
    if (n <= 0) {
      return false;
    }
    outSent += static_cast<size_t>(n);
  }
  out.clear();
  outSent = 0;
  return true;
}
