#pragma once
#include <fstream>
#include <memory>
#include <string>

#include "recovery/Browse.h"

namespace CLI {
class App;
}

namespace salvex::cli {

struct TCliContext;

// --dfxml FILE: the files a command lists or saves as Digital Forensics XML (the format fiwalk and
// other forensic tools write and read), one <fileobject> per file with its byte runs on the image.
class TDfxmlWriter {
 public:
  // Opens the file and writes the document's head (creator, source); throws a TCliError with the
  // system's reason when it cannot be written, before any work is done.
  TDfxmlWriter(const std::string& path, TCliContext& ctx);
  ~TDfxmlWriter();

  // Starts the <volume> the following files belong to (ends the one before).
  void Volume(TCustomDrive& drive);
  // One file or folder; `sha256` is the hash of the bytes saved, empty when nothing was.
  void File(const TItemRow& row, const std::string& sha256 = "", const std::string& savedAs = "");
  // Ends the document; throws a TCliError when it could not be written whole.
  void Finish();

 private:
  void EndVolume();
  std::string path_;
  std::ofstream out_;
  TCustomDrive* volume_ = nullptr;
  uint64_t imageBase_ = 0;  // the volume's first byte in the image
  bool finished_ = false;
};

// Adds --dfxml FILE to a command.
void AddDfxmlOption(CLI::App& command, std::string& path);

// The writer for `path`, or null when the option was not given.
std::unique_ptr<TDfxmlWriter> OpenDfxml(const std::string& path, TCliContext& ctx);

}  // namespace salvex::cli
