#pragma once
#include <QString>
#include <string>

#include "disk/RescueMap.h"

namespace salvex {
class TDevice;
}

namespace salvex::ui {

// Images added with their rescue map are read through it (what the map does not mark rescued
// reads as a failed read, never as the zeros the image holds there). Installs the mapped layer
// over the disk port at the first map; false with `why` when the map cannot be read or does not
// fit the image.
bool AddImageMap(const std::string& image, const std::string& mapPath, QString& why);

// The map a device is read through, with the map file's path; null when it has none.
const TRescueMap* MapOfDevice(const TDevice& device, std::string* mapPath = nullptr);

// Forgets every map and takes the mapped layer away (tests).
void ClearImageMaps();

}  // namespace salvex::ui
