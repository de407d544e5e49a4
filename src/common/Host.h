#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace salvex {

// The core reaches the user only through these ports. The desktop implements them with widgets,
// the command line answers from its flags, tests use fakes that record calls. Every text that
// crosses a port is UTF-8, as names are in the core.

enum class TMsgButtons { Ok, OkCancel, YesNo, YesNoCancel, YesNoAll, AbortRetryIgnore };
enum class TMsgIcon { None, Information, Warning, Error, Question };
// Values follow the platform's message-box answers, with All added for Yes/No/All questions.
enum class TMsgResult { None = 0, Ok = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7, All = 8 };

class TItem;  // defined with the volume model
struct TError;

// The questions the core asks, with typed answers. A front end answers them itself (the command
// line from its flags); the defaults ask through MessageBox in the program's own texts.
// An unreadable stretch of a disk: stop, read it again, or go on with zeros in its place.
enum class TReadErrorAnswer { Abort, Retry, Ignore };
// Something of a save's is in the target already: replace it (or save into it), keep it, or replace
// all such without asking again.
enum class TReplaceAnswer { Yes, No, All };

// The find dialog: the user types a mask and presses Start; the volume's search reports into it.
class TFindDialog {
 public:
  virtual ~TFindDialog() = default;
  // Resets, shows, and waits for Start (true) or Cancel (false).
  virtual bool Run() = 0;
  // The prepared mask: "*" for an empty entry, "*word*" when the entry holds no '.'.
  virtual std::string Mask() const = 0;
  virtual void AddHit(const std::string& name) = 0;
  virtual void SetScanningText(const std::string& text) = 0;
  virtual bool Cancelled() const = 0;
  virtual void Hide() = 0;
};

// Prepares the find mask from what the user typed.
std::string PrepareFindMask(const std::string& typed);

class THost {
 public:
  virtual ~THost() = default;

  virtual TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                                TMsgIcon icon) = 0;
  // Lets pending window messages run (the Cancel buttons work through this).
  virtual void ProcessMessages() {}
  // Modal range dialogs; the values are in/out and the caller clamps them afterwards.
  virtual bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) = 0;
  virtual bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) = 0;
  // The target folder dialog; `folder` holds the proposal on entry and the choice on return.
  virtual bool AskTargetFolder(std::string& folder) = 0;
  // The target folder dialog of a save that also offers a choice of FAT (items such as "no FAT
  // (consecutive)", "FAT 1", "FAT 2"); `fatChoice` holds the preselected index on entry and the
  // chosen one on return. Without a FAT list of its own a host asks only for the folder.
  virtual bool AskSaveTarget(std::string& folder, const std::vector<std::string>& fatItems, int& fatChoice) {
    (void)fatItems;
    (void)fatChoice;
    return AskTargetFolder(folder);
  }
  virtual TFindDialog& FindDialog() = 0;
  // Reading `count` sectors from `lba` of physical disk `drive` failed with `error` (an errno).
  virtual TReadErrorAnswer AskReadError(int error, uint8_t drive, uint64_t lba, uint32_t count);
  // Sectors `first` to `last` met by a lost-drive search cannot be read.
  virtual TReadErrorAnswer AskUnreadableRegion(uint64_t first, uint64_t last);
  // The target of a save holds the file `path` already: replace it?
  virtual TReplaceAnswer AskReplaceFile(const std::string& path);
  // The target of a save holds the folder `name` already: save into it, replacing what is there?
  virtual TReplaceAnswer AskEnterFolder(const std::string& name);
  // A save failed for `error`; `text` says so in the program's words. `targetFull`: for want of space.
  virtual void TellSaveFailure(const std::string& text, const TError& error, bool targetFull);
  // The chosen target folder lies on the device being examined: save there anyway? The default
  // asks with Yes/No (text 756); false cancels the save.
  virtual bool ConfirmTargetOnExaminedDevice(const std::string& folder);
  virtual void EnableMainWindow(bool) {}
  // The desktop's type name for a file name ("JPEG image"); the file need not exist.
  virtual std::string TypeName(const std::string& fileName);
  // The desktop's type name of a folder; the default is the string table's "File folder" (text 757).
  virtual std::string FolderTypeName();

 protected:
  // The texts and captions of the read-error questions, for hosts that ask them their own way.
  static std::string ReadErrorText(int error, uint8_t drive, uint64_t lba, uint32_t count);
  static std::string ReadErrorCaption();
  static std::string UnreadableRegionText(uint64_t first, uint64_t last);
  static std::string UnreadableRegionCaption();
};

// The process-wide host. Without one installed a silent host answers every question with its
// default (Ok, No, Abort, Cancel) so that library use never blocks.
THost& Host();
void SetHost(THost* host);  // nullptr restores the silent host

// Installs a host for a scope (tests, front ends).
class ScopedHost {
 public:
  explicit ScopedHost(THost& host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  THost* previous_;
};

}  // namespace salvex
