// The service's own look at the tables of an image about to be written.
// qemu-img check reads an image's tables but, for most formats, does not ask
// whether two allocated blocks share a place, or a block lies over the
// format's own structures: QEMU then writes one block's data over another's,
// or over the tables, and the image is lost. Each format's check here lists
// where its structures and blocks lie; ImageLayout finds what collides.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "diskImage.h"

// The places of a file's structures and allocated blocks.
class ImageLayout {
 public:
  // Nothing may lie at or past end (the file's size, or where a footer kept
  // at the end starts).
  explicit ImageLayout(uint64_t end) : end_(end) {}

  // A kind of thing that takes length bytes, named for messages: "its
  // header", or with a number, "block" (then "block 7").
  int Kind(const char *name, uint64_t length, bool numbered);
  // One thing of that kind at byte offset at; n is its number.
  void Add(int kind, uint64_t at, uint64_t n = 0);
  // A structure the format keeps: a kind of its own, added once.
  void Structure(const char *name, uint64_t at, uint64_t length);

  // "" when everything lies before the end and apart from the rest, else the
  // first fault found, as "block 7 lies over block 0", "block 1 lies over its
  // header", "block 2 lies past its end".
  std::string Fault();

 private:
  struct Kinded {
    const char *name;
    uint64_t length;
    bool numbered;
  };
  struct Span {
    uint64_t at;
    uint32_t kind;
    uint64_t n;
  };
  struct Packed {  // at sector, of the kind whose list holds it
    uint32_t sector;
    uint32_t n;
  };
  static Span Unpacked(uint32_t kind, const Packed &p);
  std::string Name(const Span &s) const;

  uint64_t end_;
  std::vector<Kinded> kinds_;
  std::vector<Span> spans_;
  std::vector<std::vector<Packed>> packed_;  // by kind
};

// Say what is wrong in *reason: damage found, or why the image could not be
// read to its end.
ImageProblem ImageTables_Damaged(std::string *reason, std::string what);
ImageProblem ImageTables_Unread(std::string *reason, std::string what);
// Reads exactly size bytes at offset, or returns false.
bool ImageTables_Read(int file, void *buf, size_t size, uint64_t offset);
uint64_t ImageTables_BigEndian(const unsigned char *bytes, int count);
uint64_t ImageTables_LittleEndian(const unsigned char *bytes, int count);
// Hands the count little-endian entries of width bytes at offset to each(i,
// value), a chunk read at a time, until each returns false. Returns false when
// they cannot be read.
bool ImageTables_Entries(int file, uint64_t offset, uint64_t count, int width,
                         const std::function<bool(uint64_t, uint64_t)> &each);

// The check of layer, an image held open as file, of size bytes (its
// extent files, if any, are opened by their names): ImageProblem::Damaged with
// the fault in *reason, ImageProblem::Tool with why it could not be read,
// ImageProblem::None when sound or when its format has no check here
// (ImageTables_Checks tells which have one).
ImageProblem ImageTables_Check(const ImageLayer &layer, int file, uint64_t size,
                               std::string *reason);
// Whether the format has a check here; whether qemu-img has one too (its
// check then runs first).
bool ImageTables_Checks(const std::string &format, bool *qemuImgToo = nullptr);

// A VHD's disk type from its footer, as QEMU takes it (the copy at the start
// where there is one): 2 fixed, 3 dynamic, 4 differencing; 0 when unread.
uint32_t ImageTables_VhdType(int file, uint64_t size);

// Each format's own, with ImageTables_Check's contract.
ImageProblem ImageTables_CheckVhd(const ImageLayer &layer, int file, uint64_t size,
                                  std::string *reason);
ImageProblem ImageTables_CheckVmdk(const ImageLayer &layer, int file, uint64_t size,
                                   std::string *reason);
ImageProblem ImageTables_CheckVdi(const ImageLayer &layer, int file, uint64_t size,
                                  std::string *reason);
ImageProblem ImageTables_CheckParallels(const ImageLayer &layer, int file, uint64_t size,
                                        std::string *reason);
ImageProblem ImageTables_CheckVhdx(const ImageLayer &layer, int file, uint64_t size,
                                   std::string *reason);
