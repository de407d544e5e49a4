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

struct NullTree : salvex::TTreeView {
  std::vector<std::unique_ptr<salvex::TTreeNode>> nodes;
  void Clear() override { nodes.clear(); }
  salvex::TTreeNode* AddChild(salvex::TTreeNode*, const std::string&, int, salvex::TItem* object) override {
    nodes.push_back(std::make_unique<salvex::TTreeNode>());
    nodes.back()->Object = object;
    return nodes.back().get();
  }
  void SetHasChildren(salvex::TTreeNode*, bool) override {}
  void SortChildren(salvex::TTreeNode*) override {}
};

struct AllRows : salvex::TListView {
  salvex::TCustomDirectory* src = nullptr;
  size_t count = 0;
  bool all = false;
  void ClearColumns() override {}
  void AddColumn(const salvex::TListColumn&) override {}
  void SetSource(salvex::TCustomDirectory* f) override { src = f; }
  salvex::TCustomDirectory* Source() const override { return src; }
  void SetItemCount(size_t n) override { count = n; }
  std::vector<size_t> SelectedRows() const override {
    std::vector<size_t> rows;
    if (all)
      for (size_t i = 0; i < count; ++i) rows.push_back(i);
    return rows;
  }
};

// Mounts the image currently in the fake layer.
struct Volume {
  salvex::TDevice device;
  salvex::TFATdrive drive;
  bool mounted = false;
  explicit Volume(bool quiet = true) {
    Io().transfers.clear();  // the fake layer logs every read; keep memory flat across runs
    device.Kind = salvex::KindLogical;
    device.Number = salvex::TDeviceRegistry::Instance().Devices().front().Number;
    device.TotalSectors = kImageBytes / 512;
    drive.Device = &device;
    drive.SectorCount = device.TotalSectors;
    mounted = drive.Mount(quiet);
  }
};

}  // namespace fuzzfat
