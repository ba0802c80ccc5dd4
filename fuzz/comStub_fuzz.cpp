// Fuzzes what a server reads from a client: the input is a byte stream cut
// into frames as the server cuts it, each handed to the stub with the test
// fake service behind it. Nothing may crash, every reply must fit a frame,
// and once the connection's table is cleared no object may be left alive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "../tests/lib/com/fakeService.h"
#include "com/frame.h"
#include "com/stub.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  {
    ComObjectTable table;
    size_t at = 0;
    for (;;) {
      size_t frameSize = 0;
      if (ComFrame_Check(data + at, size - at, &frameSize) != COM_FRAME_COMPLETE) {
        break;
      }
      ComFrameWriter reply;
      ComStubResult result = ComStub_Handle(fake::Class(), &table, data + at + COM_FRAME_HEADER,
                                            frameSize - COM_FRAME_HEADER, &reply);
      at += frameSize;
      if (result == COM_STUB_MALFORMED) {
        break;
      }
      if (result == COM_STUB_REPLY && !reply.Finish()) {
        abort();
      }
    }
  }
  if (fake::Ctl().live != 0) {
    abort();
  }
  return 0;
}
