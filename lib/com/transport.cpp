// Frames over byte streams. The client blocks for its reply, which is the
// whole of its concurrency model (calls are synchronous from one thread); the
// server never blocks on a client, so one slow or silent peer cannot stall
// the others.
#include "com/transport.h"

#include <algorithm>

#include "com/apartment.h"
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

}  // namespace

ComChannel::ComChannel(int fd) : fd_(fd) {
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

void ComChannel::Disconnect() {
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
  if (!message->Finish() ||
      !HostStream_WriteAll(fd_, message->Bytes().data(), message->Bytes().size())) {
    Disconnect();
  }
}

HRESULT ComChannel::Call(ComFrameWriter *request, std::vector<uint8_t> *reply) {
  if (fd_ < 0) {
    return RPC_E_DISCONNECTED;
  }
  if (!request->Finish()) {
    return E_INVALIDARG;
  }
  uint8_t header[COM_FRAME_HEADER];
  size_t frameSize = 0;
  if (!HostStream_WriteAll(fd_, request->Bytes().data(), request->Bytes().size()) ||
      !HostStream_ReadAll(fd_, header, sizeof header) ||
      ComFrame_Check(header, sizeof header, &frameSize) != COM_FRAME_INCOMPLETE) {
    // A header alone is a whole frame only for an empty payload, no reply.
    Disconnect();
    return RPC_E_DISCONNECTED;
  }
  uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                    static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
  if (length > COM_FRAME_MAX) {
    Disconnect();
    return RPC_E_DISCONNECTED;
  }
  reply->resize(length);
  if (!HostStream_ReadAll(fd_, reply->data(), length) || (*reply)[0] != COM_MSG_REPLY) {
    Disconnect();
    return RPC_E_DISCONNECTED;
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
      // the socket until this much has been handled.
      if (in.size() > 2 * COM_FRAME_MAX) {
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

bool ComServerStream::Queue(const ComFrameWriter &frame) {
  out.insert(out.end(), frame.Bytes().begin(), frame.Bytes().end());
  return Flush();
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
