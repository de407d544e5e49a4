#pragma once
// Shared set-up of the FAT fuzz targets: an in-memory image behind the fake descriptor layer,
// registered once as a logical drive, and sinks that accept whatever the core shows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/ByteReader.h"
#include "common/Host.h"
#include "devices/Device.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"

namespace fuzzfat {

constexpr size_t kImageBytes = 1 << 20;

inline salvex::test::FakeRawIO& Io() {
  static salvex::test::FakeRawIO* io = [] {
    auto* fake = new salvex::test::FakeRawIO;
    fake->images["/fuzz"].bytes.assign(kImageBytes, 0);
    fake->images["/fuzz"].bytes[0] = 0xEB;
    fake->images["/fuzz"].bytes[510] = 0x55;
    fake->images["/fuzz"].bytes[511] = 0xAA;
    salvex::SetRawIO(fake);
    salvex::TDeviceRegistry::Instance().AddImage("/fuzz", salvex::TImageKind::Drive);
    return fake;
  }();
  return *io;
}

// A small FAT16 volume (512-byte sectors, 1 sector per cluster, 1 reserved sector, two FATs of
// 17 sectors, 512 root entries, 2000 sectors) whose FATs, root directory and data come from `data`.
inline std::vector<uint8_t> VolumeWith(const uint8_t* data, size_t size) {
  std::vector<uint8_t> img(kImageBytes, 0);
  uint8_t* b = img.data();
  b[0] = 0xEB;
  salvex::PutU16(b + 0x0B, 512);
  b[0x0D] = 1;
  salvex::PutU16(b + 0x0E, 1);
  b[0x10] = 2;
  salvex::PutU16(b + 0x11, 512);
  salvex::PutU16(b + 0x13, 2000);
  salvex::PutU16(b + 0x16, 17);
  b[510] = 0x55;
  b[511] = 0xAA;
  std::memcpy(b + 512, data, std::min(size, img.size() - 512));
  return img;
}

// The main window's calls on a volume's tree: its top nodes.
struct NullTree {
  void Show(salvex::TCustomDrive& drive) {
    drive.LoadSpecialFolders(nullptr);
    for (auto kind : {salvex::TTreeKind::Root, salvex::TTreeKind::Deleted, salvex::TTreeKind::Lost,
                      salvex::TTreeKind::Search})
      drive.TopMayHaveSubfolders(kind);
  }
};

// The main window's calls on a folder: its listing read, every row described with its sort keys,
// and the tree nodes of its subfolders. `count` is the listing's length.
struct AllRows {
  salvex::TCustomDirectory* src = nullptr;
  size_t count = 0;
  bool all = false;
  void Show(salvex::TCustomDirectory& dir, bool deleted) {
    src = &dir;
    dir.LoadListing(deleted);
    count = dir.Children ? dir.Children->size() : 0;
    for (size_t i = 0; i < count; ++i) {
      salvex::TItem& child = *(*dir.Children)[i];
      dir.ListRow(child);
      dir.SortKey(child, true);
      if (auto* sub = dynamic_cast<salvex::TCustomDirectory*>(&child)) {
        sub->TreeName();
        sub->MayHaveSubfolders(deleted);
      }
    }
  }
  salvex::TItem* Item(size_t i) const { return src && src->Children && i < count ? (*src->Children)[i].get() : nullptr; }
  std::vector<salvex::TItem*> Selected() const {
    std::vector<salvex::TItem*> items;
    if (all)
      for (size_t i = 0; i < count; ++i) items.push_back(Item(i));
    return items;
  }
};

// A volume of any file system over the image currently in the fake layer, mounted quietly or not.
template <class Drive>
struct VolumeOf {
  salvex::TDevice device;
  Drive drive;
  bool mounted = false;
  explicit VolumeOf(bool quiet = true) {
    Io().transfers.clear();  // the fake layer logs every read; keep memory flat across runs
    device.Kind = salvex::KindLogical;
    device.Number = salvex::TDeviceRegistry::Instance().Devices().front().Number;
    device.TotalSectors = kImageBytes / 512;
    drive.Device = &device;
    drive.SectorCount = device.TotalSectors;
    mounted = drive.Mount(quiet);
  }
};
using Volume = VolumeOf<salvex::TFATdrive>;

// Lists the folder as the main window does, walks its subfolders and, with `readFiles`, reads a few
// megabytes of each file; the items met. Traps when a walk goes deeper than any may or a listing
// does not hold its folder's children.
inline size_t VisitTree(salvex::TCustomDirectory& dir, bool deleted, bool readFiles, size_t depth = 0) {
  if (depth > 300) __builtin_trap();
  AllRows list;
  list.Show(dir, deleted);
  if (!dir.Children || list.count != dir.Children->size()) __builtin_trap();
  size_t items = list.count;
  std::vector<uint8_t> buf(65536);
  for (size_t i = 0; i < list.count; ++i) {
    salvex::TItem* object = list.Item(i);
    if (auto* sub = dynamic_cast<salvex::TCustomDirectory*>(object)) {
      sub->GetPath(nullptr);
      items += VisitTree(*sub, deleted, readFiles, depth + 1);
    } else if (auto* f = dynamic_cast<salvex::TCustomFile*>(object); f && readFiles) {
      f->Meta();
      auto data = f->OpenData({});
      // Sizes come from the input (sparse ones may be huge); a few megabytes cover every path.
      for (uint64_t total = 0; data && total < (4u << 20);) {
        const size_t n = data->Read(buf.data(), buf.size());
        if (n == 0) break;
        total += n;
      }
    }
  }
  return items;
}

}  // namespace fuzzfat
