// Texts of HRESULTs as the host's message lookup knows them: the runtime's
// own codes, and codes made from a system error, which read as that error.
// Everything else has no text, so callers fall back to their own wording.
#include "com/hresult.h"

#include "host/lastError.h"

bool Com_HResultText(HRESULT hr, std::string *text) {
  const char *own = nullptr;
  switch (static_cast<uint32_t>(hr)) {
    case 0x80004005u:
      own = "Unspecified error";
      break;
    case 0x80004003u:
      own = "Invalid pointer";
      break;
    case 0x80004002u:
      own = "No such interface supported";
      break;
    case 0x8007000Eu:
      // Shadows the system error 14 made into an HRESULT: the runtime's
      // meaning of this code wins.
      own = "Not enough memory resources are available to complete this operation.";
      break;
    case 0x80070057u:
      own = "One or more arguments are invalid";
      break;
    case 0x80040154u:
      own = "Class not registered";
      break;
    case 0x80080005u:
      own = "Server execution failed";
      break;
    case 0x80010108u:
      own = "The object invoked has disconnected from its clients.";
      break;
    case 0x8001011Fu:
      own = "This operation returned because the timeout period expired.";
      break;
    case 0x8002000Au:
      own = "Out of present range.";
      break;
    case 0x80020005u:
      own = "Type mismatch.";
      break;
  }
  text->clear();
  if (own != nullptr) {
    *text = own;
    return true;
  }
  if ((static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u) {
    char buf[256];
    if (Host_ErrorText(static_cast<int>(static_cast<uint32_t>(hr) & 0xFFFFu), buf, sizeof buf)) {
      *text = buf;
      return true;
    }
  }
  return false;
}
