// Exceptions, their event records and the fatal stop's ending.
#include "errors.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brenixMount.h"
#include "eventlog/eventLog.h"
#include "host/lastError.h"
#include "host/system.h"
#include "messages.h"
#include "misc/err.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/msg.h"

namespace {

constexpr uint32_t kEventUserError = 0xE0000001;
constexpr uint32_t kEventAppError = 0xE0000002;
constexpr uint32_t kEventComError = 0xE0000003;
constexpr uint32_t kEventApiError = 0xE0000004;

const EventLogMessage kMessageTable[] = {
    {kEventUserError, "Command \"%1\" failed: %2\r\n"},
    {kEventAppError, "Command \"%1\" failed: %2 (COM error 0x%3 %4)\r\n"},
    {kEventComError, "Command \"%1\" failed with COM error: 0x%2 (%3)\r\n"},
    {kEventApiError, "Command \"%1\" failed for API error: %2\r\n"},
};

std::string Location(const char *source, int line) {
  return std::string(" at ") + source + ":" + std::to_string(line);
}

void Report(uint32_t eventId, std::initializer_list<std::string> strings) {
  std::vector<const char *> inserts;
  for (const auto &s : strings) inserts.push_back(s.c_str());
  EventLog_Report(eventId, inserts.data(), inserts.size());
}

void PanicEnding(const char *text) { FatalStop(text); }

}  // namespace

ApiException::ApiException(const char *source, int line)
    : std::runtime_error(Err_ErrString() + Location(source, line)) {}

ApiException::ApiException(int errorCode, const char *source, int line)
    : std::runtime_error(Err_Errno2String(errorCode) + Location(source, line)) {}

ApiException::ApiException(const std::string &detail, const char *source, int line)
    : std::runtime_error(Err_ErrString() + Location(source, line) + " " + detail) {}

std::string HexHResult(HRESULT hr) {
  char buf[16];
  Str_Sprintf(buf, sizeof buf, "%" PRIx32, static_cast<uint32_t>(hr));
  return buf;
}

std::string BstrToString(BSTR text) {
  // The source cited is the one the original front end names for this step.
  static const char kSource[] = "apps/brenix-mount/brenixMount";
  if (text == nullptr) {
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_INVALID));
    throw ApiException(kSource, __LINE__);
  }
  std::string out;
  if (!Com_BstrToString(text, &out)) {
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_INVALID));
    throw ApiException(kSource, __LINE__);
  }
  return out;
}

std::string ComErrorDescription(const ComError &e) {
  std::string text;
  BStr description = e.Description();
  if (!description.IsNull()) {
    try {
      text = BstrToString(description.Get());
    } catch (const ApiException &) {
      text.clear();  // fall back to the host's text for the code
    }
  }
  if (!text.empty()) return text;

  HRESULT hr = e.Error();
  if (Com_HResultText(hr, &text)) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
  }
  uint32_t code = static_cast<uint32_t>(hr);
  char buf[64];
  if (code > 0x80040200u && code <= 0x8004FFFFu) {
    Str_Sprintf(buf, sizeof buf, "IDispatch error #%d", static_cast<int>((code & 0xFFFF) - 0x200));
  } else {
    Str_Sprintf(buf, sizeof buf, "Unknown error 0x%0" PRIX32, code);
  }
  return buf;
}

void LogUserError(const UserError &e) {
  Report(kEventUserError, {HostSystem_CommandLine(), e.what()});
}

void LogAppError(const AppError &e) {
  Report(kEventAppError, {HostSystem_CommandLine(), e.what(), HexHResult(e.cause().Error()),
                          ComErrorDescription(e.cause())});
}

void LogComError(const ComError &e) {
  Report(kEventComError, {HostSystem_CommandLine(), HexHResult(e.Error()), ComErrorDescription(e)});
}

void LogApiException(const ApiException &e) {
  Report(kEventApiError, {HostSystem_CommandLine(), e.what()});
}

void InstallErrorReporting() {
  EventLog_SetMessageTable(kMessageTable, sizeof kMessageTable / sizeof kMessageTable[0]);
  Panic_SetHandler(PanicEnding);
}

void FatalStop(const char *text) {
  // The literal's text, printed directly: the message code may be what failed.
  std::fputs(kPanicUnexpectedText, stdout);
  std::fflush(stdout);
  Report(kEventComError, {HostSystem_CommandLine(), text});
  std::fflush(stdout);
  std::_Exit(kExitApiError);
}
