// Appends records to <prefix>/eventlog/Application.jsonl. The whole line goes
// out in one write() while an exclusive flock is held, so lines of
// concurrent writers never interleave; a write that falls short (a full disk)
// is cut back to where the file ended, leaving no half record behind.
#include "host/eventlogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "host/text.h"
#include "hostPaths.h"

namespace {

// How long a writer waits for the log's lock, in milliseconds.
constexpr int kLockWaitMs = 2000;
// A link where the log belongs would have our record appended to whatever
// it names; a FIFO would hold the writer.
constexpr int kOpenFlags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Appends code (below U+0100) as a JSON \u escape.
void AppendEscaped(std::string *out, unsigned char code) {
  char esc[8];
  snprintf(esc, sizeof esc, "\\u%04x", code);
  *out += esc;
}

void AppendJsonString(std::string *out, const char *text) {
  out->push_back('"');
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text ? text : "");
  size_t n = std::char_traits<char>::length(reinterpret_cast<const char *>(s));
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
      i++;
    } else if (c < 0x20) {
      switch (c) {
        case '\b':
          *out += "\\b";
          break;
        case '\f':
          *out += "\\f";
          break;
        case '\n':
          *out += "\\n";
          break;
        case '\r':
          *out += "\\r";
          break;
        case '\t':
          *out += "\\t";
          break;
        default:
          AppendEscaped(out, c);
      }
      i++;
    } else {
      size_t len = HostText_Utf8Length(reinterpret_cast<const char *>(s + i), n - i);
      if (len == 0) {
        *out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
        i++;
      } else if (len == 2 && c == 0xC2 && s[i + 1] <= 0x9F) {
        // C1 controls: valid JSON raw, but a terminal showing the log acts on them.
        AppendEscaped(out, s[i + 1]);
        i += len;
      } else {
        out->append(reinterpret_cast<const char *>(s + i), len);
        i += len;
      }
    }
  }
  out->push_back('"');
}

const char *TypeText(HostEventType type) {
  return type == HOSTEVENT_WARNING       ? "warning"
         : type == HOSTEVENT_INFORMATION ? "information"
                                         : "error";
}

std::string FormatRecord(const HostEventRecord *r) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);

  std::string line = "{\"time\":\"";
  line += stamp;
  line += "\",\"source\":";
  AppendJsonString(&line, r->source);
  line += ",\"type\":\"";
  line += TypeText(r->type);
  char ids[80];
  snprintf(ids, sizeof ids, "\",\"eventId\":%u,\"eventIdHex\":\"0x%08X\",\"category\":%u",
           static_cast<unsigned>(r->eventId), static_cast<unsigned>(r->eventId),
           static_cast<unsigned>(r->category));
  line += ids;
  line += ",\"strings\":[";
  for (size_t i = 0; i < r->count; i++) {
    if (i > 0) {
      line.push_back(',');
    }
    AppendJsonString(&line, r->strings[i]);
  }
  line += "],\"message\":";
  AppendJsonString(&line, r->message);
  line += "}\n";
  return line;
}

}  // namespace

int HostEventLog_Append(const HostEventRecord *record) {
  if (record == nullptr || (record->count > 0 && record->strings == nullptr)) {
    return EINVAL;
  }
  std::string prefix;
  if (!hostpaths::TrustedPrefix(&prefix)) {
    return errno;
  }
  std::string line = FormatRecord(record);
  std::string dir = prefix + "/eventlog";
  std::string path = dir + "/Application.jsonl";
  int fd = open(path.c_str(), kOpenFlags, 0600);
  if (fd < 0 && errno == ENOENT && (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST)) {
    fd = open(path.c_str(), kOpenFlags, 0600);
  }
  if (fd < 0) {
    return errno;
  }
  // Bounded: a holder that never lets go (a stopped or hostile process) must
  // not stall a service that logs for everyone; the record is lost instead.
  int rc = 0;
  for (int waitedMs = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; waitedMs++) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      rc = errno;
      break;
    }
    if (waitedMs >= kLockWaitMs) {
      rc = EWOULDBLOCK;
      break;
    }
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
  }
  struct stat st;
  if (rc == 0 && fstat(fd, &st) != 0) {
    rc = errno;
  }
  if (rc == 0 && !S_ISREG(st.st_mode)) {
    rc = EINVAL;
  }
  // A line cut short (by a crash of the machine, or a hand) must not swallow
  // this record: it goes on a line of its own.
  char last = '\n';
  if (rc == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
    line.insert(0, 1, '\n');
  }
  if (rc == 0) {
    ssize_t n;
    do {
      n = write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
      rc = n < 0 ? errno : ENOSPC;
      if (n > 0 && ftruncate(fd, st.st_size) != 0) {
        // Nothing more can be done: the record is lost either way.
      }
    }
  }
  close(fd);  // also releases the lock
  return rc;
}
