#include "ui/ImageMaps.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "devices/Device.h"
#include "disk/DeviceRegistry.h"
#include "disk/MappedRawIO.h"
#include "disk/RawIO.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

struct TMaps {
  std::unique_ptr<TMappedRawIO> layer;
  std::map<std::string, std::string> files;  // map file by image path
};

TMaps& Maps() {
  static TMaps maps;
  return maps;
}

}  // namespace

bool AddImageMap(const std::string& image, const std::string& mapPath, QString& why) {
  TRescueMap map;
  std::string reason;
  if (!LoadRescueMap(mapPath, map, reason)) {
    why = QString::fromStdString(reason);
    return false;
  }
  TMaps& maps = Maps();
  TRawIO& io = maps.layer && &RawIO() == maps.layer.get() ? static_cast<TRawIO&>(*maps.layer) : RawIO();
  const int fd = io.Open(image);
  if (fd < 0) {
    why = TextWith(txt::CannotOpenFile, {QString::fromStdString(image), QString::fromLocal8Bit(std::strerror(errno))});
    return false;
  }
  uint64_t size = 0;
  const bool sized = io.Size(fd, size);
  io.Close(fd);
  if (!sized || size != map.Size()) {
    const QLocale locale = LanguageLocale();
    why = TextWith(txt::MapSizeNotImage, {QString::fromStdString(mapPath), locale.toString(qulonglong(map.Size())),
                                          locale.toString(qulonglong(size))});
    return false;
  }
  if (!maps.layer || &RawIO() != maps.layer.get()) {
    // The layer wraps whatever reads the disks now; maps already added come along.
    auto layer = std::make_unique<TMappedRawIO>(RawIO());
    if (maps.layer)
      for (const auto& [path, file] : maps.files)
        if (const TRescueMap* old = maps.layer->MapOf(path)) layer->AddMap(path, *old);
    maps.layer = std::move(layer);
    SetRawIO(maps.layer.get());
  }
  maps.layer->AddMap(image, std::move(map));
  maps.files[image] = mapPath;
  return true;
}

const TRescueMap* MapOfDevice(const TDevice& device, std::string* mapPath) {
  TMaps& maps = Maps();
  if (!maps.layer) return nullptr;
  const auto& registry = TDeviceRegistry::Instance();
  const TRegisteredDevice* registered =
      device.Kind == KindLogical ? registry.FindLogical(device.Number) : registry.FindPhysical(device.Number);
  if (!registered) return nullptr;
  const TRescueMap* map = maps.layer->MapOf(registered->Path);
  if (map && mapPath) *mapPath = maps.files[registered->Path];
  return map;
}

void ClearImageMaps() {
  TMaps& maps = Maps();
  if (maps.layer && &RawIO() == maps.layer.get()) SetRawIO(nullptr);
  maps.layer.reset();
  maps.files.clear();
}

}  // namespace salvex::ui
