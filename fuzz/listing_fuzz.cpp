// Fuzzes what the front end makes of the mount service's listing texts. A
// stand-in service, served on its endpoint in a private host prefix by a
// thread of this process, answers the listing with the texts of the input
// (separated by 0xFF bytes; the first byte picks the drive letter and the
// force flag). The real listing reader and the real dismount lookup run
// against it through the wire, and their results must agree with a plain
// reading of the two text forms: the listing keeps exactly the texts of the
// form <something>file="<path>" driveLetter="<c>:" in order, and the dismount
// asks for the mount whose text is id=<digits><something>driveLetter="<c>:"
// (first such text), or refuses when there is none.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/lib/com/fakeService.h"
#include "args.h"
#include "brenixMount.h"
#include "com/activation.h"
#include "com/apartment.h"
#include "com/server.h"
#include "errors.h"
#include "serviceClient.h"
#include "user/msg.h"

namespace {

struct Listing {
  std::mutex lock;
  std::vector<std::u16string> texts;
  std::vector<int32_t> askedIds;
  int unmounts = 0;
};

Listing &Served() {
  static Listing l;
  return l;
}

class FuzzMount final : public fake::Object<IMount> {
 public:
  HRESULT Unmount(VARIANT_BOOL, int32_t) override {
    std::lock_guard<std::mutex> hold(Served().lock);
    Served().unmounts++;
    return S_OK;
  }
  HRESULT MountAs(int32_t, int32_t, int32_t) override { return E_NOTIMPL; }
};

class FuzzList final : public fake::Object<IMountList> {
 public:
  HRESULT Item(int32_t index, VARIANT *item) override {
    std::lock_guard<std::mutex> hold(Served().lock);
    const auto &texts = Served().texts;
    VariantInit(item);
    if (index < 1 || static_cast<size_t>(index) > texts.size()) return E_INVALIDARG;
    const std::u16string &t = texts[static_cast<size_t>(index) - 1];
    item->vt = VT_BSTR;
    item->bstrVal = SysAllocStringLen(t.data(), static_cast<uint32_t>(t.size()));
    return S_OK;
  }
  HRESULT Count(int32_t *count) override {
    std::lock_guard<std::mutex> hold(Served().lock);
    *count = static_cast<int32_t>(Served().texts.size());
    return S_OK;
  }
};

class FuzzManager final : public fake::Object<IMountManager> {
 public:
  HRESULT GetMount(int32_t id, IMount **mount) override {
    std::lock_guard<std::mutex> hold(Served().lock);
    Served().askedIds.push_back(id);
    *mount = new FuzzMount();
    return S_OK;
  }
  HRESULT GetMounts(IMountList **mounts) override {
    *mounts = new FuzzList();
    return S_OK;
  }
  HRESULT OpenDisk(BSTR, int32_t, int32_t, int32_t, IVirtualDisk **) override { return E_NOTIMPL; }
};

class FuzzLocator final : public fake::Object<IMountLocator> {
 public:
  HRESULT Connect(BSTR, BSTR, int32_t, IMountManager **manager) override {
    *manager = new FuzzManager();
    return S_OK;
  }
};

IUnknown *CreateFuzzLocator() { return static_cast<IMountLocator *>(new FuzzLocator()); }

void IgnorePost(int, const char *, const char *) {}

// Starts the stand-in service once, in a private prefix, and waits until its
// endpoint accepts.
void StartService() {
  static std::once_flag once;
  std::call_once(once, [] {
    setlocale(LC_ALL, "C.UTF-8");
    char folder[] = "/tmp/listing_fuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr) abort();
    static std::string made = folder;
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    setenv("BRENIX_HOST_PREFIX", folder, 1);
    Msg_SetPostCallback(IgnorePost);
    static std::mutex readyLock;
    static bool ready = false;
    std::thread([] {
      static const ComServerClass cls = {CLSID_MountLocator, &CreateFuzzLocator};
      ComServerOptions options = {0, nullptr, -1, [] {
                                    std::lock_guard<std::mutex> hold(readyLock);
                                    ready = true;
                                  }};
      ComServer_Serve(cls, options);
      abort();  // the service never stops on its own here
    }).detach();
    for (int i = 0; i < 1000; i++) {
      {
        std::lock_guard<std::mutex> hold(readyLock);
        if (ready) break;
      }
      usleep(10000);
    }
    if (FAILED(CoInitialize(nullptr))) abort();
  });
}

std::u16string Widen(const std::string &bytes) {
  std::u16string out;
  if (Com_Utf8ToUtf16(bytes.data(), bytes.size(), &out)) return out;
  out.clear();
  for (unsigned char c : bytes) out.push_back(static_cast<char16_t>(c));
  return out;
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The listing form, read by hand: the path is the run of non-quote
// characters before the fixed tail, preceded by file=" and at least one
// more character.
bool ReadListingText(const std::string &t, MountedVolume *out) {
  static const std::string kMiddle = "\" driveLetter=\"";
  if (t.size() < 1 + 6 + 1 + kMiddle.size() + 3 || !EndsWith(t, ":\"")) return false;
  size_t letterAt = t.size() - 3;
  size_t middleAt = letterAt - kMiddle.size();
  if (t.compare(middleAt, kMiddle.size(), kMiddle) != 0) return false;
  size_t pathAt = middleAt;
  while (pathAt > 0 && t[pathAt - 1] != '"') pathAt--;
  if (pathAt == middleAt || pathAt < 7 || t.compare(pathAt - 6, 6, "file=\"") != 0) return false;
  std::string letter(1, t[letterAt]);
  letter[0] = static_cast<char>(toupper(static_cast<unsigned char>(letter[0])));
  *out = {letter, t.substr(pathAt, middleAt - pathAt)};
  return true;
}

// The dismount form: the digits taken greedily, as long as something is
// left between them and the tail.
bool ReadLookupText(const std::string &t, char letter, std::string *digits) {
  std::string tail = std::string("driveLetter=\"") + letter + ":\"";
  if (t.compare(0, 3, "id=") != 0 || !EndsWith(t, tail)) return false;
  size_t end = 3;
  while (end < t.size() && isdigit(static_cast<unsigned char>(t[end]))) end++;
  size_t tailAt = t.size() - tail.size();
  if (end == 3 || end > tailAt) return false;
  if (end == tailAt) {
    if (end - 3 < 2) return false;
    end--;
  }
  *digits = t.substr(3, end - 3);
  return true;
}

bool FitsInt(const std::string &digits, int32_t *value) {
  errno = 0;
  long long v = strtoll(digits.c_str(), nullptr, 10);
  if (errno != 0 || v > INT_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// The client has let go of everything; the service releases the objects of
// each closed connection (which also keeps the heap of one input balanced).
void WaitForRelease() {
  for (int i = 0; fake::Ctl().live != 0; i++) {
    if (i == 50000) abort();  // 5 s: objects left behind
    usleep(100);
  }
}

}  // namespace

// Each input runs on two threads, so its coverage is never quite the same;
// the entropic schedule's bookkeeping of rare features then costs more than
// the input itself. The plain schedule runs several times faster here.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  static std::vector<char *> args;
  static char plain[] = "-entropic=0";
  args.assign(*argv, *argv + *argc);
  args.push_back(plain);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  StartService();
  char letter = static_cast<char>('a' + data[0] % 26);
  bool force = (data[0] & 0x80) != 0;

  std::vector<std::u16string> texts;
  std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  for (size_t start = 0;;) {
    size_t end = rest.find('\xFF', start);
    texts.push_back(Widen(rest.substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  {
    std::lock_guard<std::mutex> hold(Served().lock);
    Served().texts = texts;
    Served().askedIds.clear();
    Served().unmounts = 0;
  }

  // What the client side should see, text by text.
  std::vector<MountedVolume> expected;
  bool unreadable = false;
  size_t firstUnreadable = texts.size();
  size_t lookupAt = texts.size();
  std::string digits;
  for (size_t i = 0; i < texts.size(); i++) {
    BSTR b = SysAllocStringLen(texts[i].data(), static_cast<uint32_t>(texts[i].size()));
    std::string t;
    bool ok = Com_BstrToString(b, &t);
    SysFreeString(b);
    if (!ok) {
      if (!unreadable) firstUnreadable = i;
      unreadable = true;
      continue;
    }
    MountedVolume m;
    if (ReadListingText(t, &m)) expected.push_back(m);
    if (lookupAt == texts.size() && ReadLookupText(t, letter, &digits)) lookupAt = i;
  }

  try {
    std::vector<MountedVolume> got = ReadMountedVolumes();
    if (unreadable || got.size() != expected.size()) abort();
    for (size_t i = 0; i < got.size(); i++) {
      if (got[i].driveLetter != expected[i].driveLetter ||
          got[i].diskPath != expected[i].diskPath) {
        abort();
      }
    }
  } catch (const ApiException &) {
    if (!unreadable) abort();
  }

  std::string word = std::string(1, letter) + ":";
  char *argv[] = {const_cast<char *>("brenix-mount"), word.data()};
  Args args(2, argv);
  args.driveLetter = word;
  args.forceFlag = force;
  bool refused = false;
  try {
    DismountCommand(args);
  } catch (const UserError &) {
    refused = true;
  } catch (const ApiException &) {
    if (firstUnreadable >= lookupAt) abort();
    WaitForRelease();
    return 0;
  }
  WaitForRelease();
  std::lock_guard<std::mutex> hold(Served().lock);
  if (firstUnreadable < lookupAt) abort();
  if (lookupAt == texts.size()) {
    if (!refused || !Served().askedIds.empty()) abort();
  } else {
    if (refused || Served().askedIds.size() != 1 || Served().unmounts != 1) abort();
    int32_t id = 0;
    // The client reads the id with atoi, which cannot hold ids past the int
    // range; those are left unchecked (the service hands out small ids).
    if (FitsInt(digits, &id) && Served().askedIds[0] != id) abort();
  }
  return 0;
}
