// HostFd: the sole owner of one descriptor (a file handle, a stream, an end of
// a wake-up pipe), closed when its owner goes, on every path. It is moved,
// never copied; -1 means none.
#pragma once

class HostFd {
 public:
  HostFd() = default;
  // Takes over fd (may be -1).
  explicit HostFd(int fd) noexcept : fd_(fd) {}
  HostFd(HostFd &&other) noexcept : fd_(other.Release()) {}
  HostFd &operator=(HostFd &&other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~HostFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Gives the descriptor up to the caller, unclosed.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and takes over fd.
  void Reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};
