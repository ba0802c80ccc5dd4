// Transports: frames over a byte stream. The client side is a channel, one
// connected blocking stream on which one call at a time waits for its reply;
// the server side is a buffered non-blocking stream that the server loop
// feeds as data arrives. Runtime-internal; tests run both over socketpair().
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "com/frame.h"
#include "com/hresult.h"

// A client connection to one server, shared by the proxies made on it and
// belonging to the thread that made it. The last CoUninitialize of that
// thread disconnects it; proxies outliving that answer RPC_E_DISCONNECTED.
class ComChannel {
 public:
  // Takes over fd.
  explicit ComChannel(int fd);
  ComChannel(const ComChannel &) = delete;
  ComChannel &operator=(const ComChannel &) = delete;

  void AddRef() { refs_++; }
  void Release();

  // Sends a request and waits for its reply payload. RPC_E_DISCONNECTED
  // when the stream fails, ends or answers with something that is no reply,
  // RPC_E_TIMEOUT when one wait for the peer passed the call timeout (the
  // channel is disconnected then); S_OK otherwise.
  HRESULT Call(ComFrameWriter *request, std::vector<uint8_t> *reply);
  // A call in two halves, for requests sent ahead of their replies: Post
  // holds a request back with the messages of Send and gives it a ticket;
  // Collect writes what is held back and waits for the ticket's reply,
  // keeping those it reads for earlier tickets for their own Collect (a call
  // made while others are ahead). They fail as Call does.
  HRESULT Post(ComFrameWriter *request, uint64_t *ticket);
  HRESULT Collect(uint64_t ticket, std::vector<uint8_t> *reply);
  // Sends a message that has no reply, ahead of the next call or at the
  // disconnection; failures disconnect silently.
  void Send(ComFrameWriter *message);
  bool Connected() const { return fd_ >= 0; }
  // Connected, and the peer has not closed its end since: a call could
  // still reach it.
  bool PeerOpen() const;
  // Writes the messages still held back, then closes the stream.
  void Disconnect();

  // Disconnects every channel of the calling thread.
  static void DisconnectThread();

  // The longest wait for the peer in a call of the channels made from now
  // on, in ms; 60 s unless a test shortens it. A server that takes longer is
  // taken for hung, so that no client waits on it for ever.
  static void SetCallTimeout(int timeoutMs);
  static int CallTimeout();

 private:
  ~ComChannel();
  // Reads until in_ holds size bytes; S_OK, or the failure (the channel is
  // closed then).
  HRESULT Receive(size_t size);
  // Reads the reply to the oldest request not answered yet.
  HRESULT NextReply(std::vector<uint8_t> *reply);
  // Closes the stream, dropping what was not sent.
  void Close();
  int fd_;
  uint32_t refs_ = 1;
  std::vector<uint8_t> pending_;                    // messages without a reply, not yet written
  std::vector<uint8_t> in_;                         // received and not yet taken
  uint64_t posted_ = 0;                             // requests given a ticket
  uint64_t written_ = 0;                            // requests written to the stream
  uint64_t answered_ = 0;                           // replies read
  std::map<uint64_t, std::vector<uint8_t>> early_;  // replies read before their Collect
};

// The server's side of one connection.
struct ComServerStream {
  int fd = -1;
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  size_t outSent = 0;

  // Reads what the stream has. False at its end or on an error.
  bool Fill();
  // Next whole frame: COM_FRAME_COMPLETE with *payload / *size pointing into
  // `in` until Consume(); COM_FRAME_OVERSIZED means the peer broke the
  // protocol.
  ComFrameState Next(const uint8_t **payload, size_t *size);
  void Consume();
  // Queues a finished frame, for the next Flush.
  void Hold(const ComFrameWriter &frame);
  // Writes queued bytes; false on an error.
  bool Flush();
  bool Pending() const { return outSent < out.size(); }

 private:
  size_t frameSize_ = 0;
};
