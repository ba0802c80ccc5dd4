// Object ids start at 1 and go up, skipping ids still in use after they
// wrap, so that a stale id of a released object is unlikely to name a new one.
#include "com/objectTable.h"

uint32_t ComObjectTable::Add(IUnknown *object, const IID &iid) {
  if (entries_.size() >= kMaxObjects) {
    return 0;
  }
  while (nextId_ == 0 || entries_.count(nextId_) != 0) {
    nextId_++;
  }
  uint32_t id = nextId_++;
  entries_[id] = Entry{object, iid};
  return id;
}

IUnknown *ComObjectTable::Find(uint32_t id, IID *iid) const {
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    return nullptr;
  }
  *iid = it->second.iid;
  return it->second.object;
}

bool ComObjectTable::Remove(uint32_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    return false;
  }
  IUnknown *object = it->second.object;
  entries_.erase(it);
  object->Release();
  return true;
}

void ComObjectTable::Clear() {
  // Releasing may run arbitrary destructors: take the entries out first.
  std::unordered_map<uint32_t, Entry> old;
  old.swap(entries_);
  for (auto &e : old) {
    e.second.object->Release();
  }
}
