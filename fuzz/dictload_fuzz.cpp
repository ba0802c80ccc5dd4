// Fuzzes loading a dictionary file: the input is written to a file and
// loaded. Whatever the bytes, the load ends, every entry is in the name index
// under its own name and in any letter case, entries never outnumber lines,
// and every entry reads back as a string and then as the same string. A load
// of the same bytes for reading only gives the same result, messages and
// entries.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "user/dictionary.h"
#include "user/msg.h"

namespace {

void IgnorePost(int, const char *, const char *) {}

const std::string &InputPath() {
  static const std::string path = [] {
    std::atexit([] { unlink(InputPath().c_str()); });
    return "/tmp/dictload_fuzz." + std::to_string(getpid()) + ".bxx";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Msg_SetPostCallback(IgnorePost);
  FILE *f = fopen(InputPath().c_str(), "wb");
  if (f == nullptr) abort();
  if (fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();

  Dictionary *dict = Dictionary_Create();
  bool ok = Dictionary_Load(dict, InputPath().c_str(), 18);
  if (ok && Msg_GetMessages()[0] != '\0') abort();
  if (!ok && Msg_GetMessages()[0] == '\0') abort();
  std::string messages = Msg_GetMessages();
  Msg_Reset(false);
  // Read only, from the text in hand and from the file.
  const char *text = size > 0 ? reinterpret_cast<const char *>(data) : "";
  for (bool fromFile : {false, true}) {
    Dictionary *readOnly = Dictionary_Create();
    const int flags = 18 | DICT_LOAD_READ_ONLY;
    bool same = fromFile
                    ? Dictionary_Load(readOnly, InputPath().c_str(), flags) == ok
                    : Dictionary_LoadText(readOnly, InputPath().c_str(), text, size, flags) == ok;
    if (!same || messages != Msg_GetMessages()) abort();
    Msg_Reset(false);
    DictEntry *other = readOnly->firstEntry;
    for (DictEntry *e = dict->firstEntry; e != nullptr; e = e->next, other = other->next) {
      if (other == nullptr || strcmp(e->name, other->name) != 0 ||
          strcmp(e->value.stringValue, other->value.stringValue) != 0 || other->flags != 2) {
        abort();
      }
    }
    if (other != nullptr) abort();
    Dictionary_Free(readOnly);
  }
  if (dict->loadFileName != nullptr || dict->loadLineCount != 0) abort();

  size_t lines = 0;
  for (DictLine *l = dict->firstLine; l != nullptr; l = l->next) lines++;
  size_t maxLines = 1;
  for (size_t i = 0; i < size; i++) maxLines += data[i] == '\n';
  if (lines > maxLines) abort();

  size_t entries = 0;
  for (DictEntry *e = dict->firstEntry; e != nullptr; e = e->next) {
    entries++;
    if (e->line == nullptr || e->line->entry != e || e->flags != 2) abort();
    std::string upper = e->name;
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (!Dictionary_IsDefined(dict, upper.c_str())) abort();
    if (upper.size() >= 1024) continue;  // typed readers cut longer names
    char *first = Dict_GetString(dict, "missing", "%s", e->name);
    char *second = Dict_GetString(dict, "other", "%s", upper.c_str());
    if (first == nullptr || second == nullptr || strcmp(first, second) != 0) abort();
    free(first);
    free(second);
  }
  if (entries > lines) abort();
  // Reading every entry created none.
  size_t after = 0;
  for (DictEntry *e = dict->firstEntry; e != nullptr; e = e->next) after++;
  if (after != entries) abort();

  Dictionary_Free(dict);
  Msg_Reset(false);
  return 0;
}
