#include "cli/CliSave.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "common/StringTable.h"
#include "devices/TargetCheck.h"

namespace salvex::cli {

namespace {

// Answers from --overwrite; "ask" asks only when a person is at the terminal, otherwise keeps.
class TCliQuestions : public TSaveQuestions {
 public:
  explicit TCliQuestions(bool interactive) : interactive_(interactive) {}
  TAnswer ReplaceFile(const std::string& path) override { return Ask("replace the existing file " + path + "?"); }
  TAnswer EnterFolder(const std::string& name) override {
    return Ask("the folder " + name + " exists; save into it, replacing files of the same names?");
  }
  void Failed(const std::string& path, const TError& error) override {
    (void)path;
    std::cerr << "salvex-cli: " << error.Text() << "\n";
  }

 private:
  TAnswer Ask(const std::string& question) {
    if (!interactive_) return TAnswer::No;
    for (;;) {
      std::cerr << question << " [y]es/[n]o/[a]ll: " << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) return TAnswer::No;
      const char c = answer.empty() ? 0 : char(std::tolower(static_cast<unsigned char>(answer[0])));
      if (c == 'y') return TAnswer::Yes;
      if (c == 'n') return TAnswer::No;
      if (c == 'a') return TAnswer::All;
    }
  }
  bool interactive_;
};

}  // namespace

int SaveAndReport(TCliContext& ctx, const TDevice* device, const std::vector<TItem*>& items, const TSaveArgs& args,
                  TSaveOptions options) {
  std::error_code ec;
  std::filesystem::create_directories(args.To, ec);
  if (!std::filesystem::is_directory(args.To))
    throw TCliError("cannot use '" + args.To + "' as the target folder: " +
                    (ec ? ec.message() : std::string("it is not a folder")));
  if (device && !args.AllowExaminedDevice && TargetOnExaminedDevice(*device, args.To))
    throw TCliError("the target folder " + args.To +
                    " lies on the device being examined; saving there could overwrite what is to be recovered"
                    " (--allow-examined-device saves anyway)");
  options.Target = args.To;
  const bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  options.Overwrite = args.Overwrite == "all"    ? TOverwritePolicy::All
                      : args.Overwrite == "none" ? TOverwritePolicy::None
                      : interactive              ? TOverwritePolicy::Ask
                                                 : TOverwritePolicy::None;
  TCliQuestions questions(interactive);
  const TSaveReport r = SaveItems(items, options, questions, ctx.Status.get());
  for (const auto& w : r.Warnings) std::cerr << "salvex-cli: warning: " << w << "\n";
  for (const auto& p : r.Partial) std::cerr << "salvex-cli: incomplete, kept as " << p << "\n";
  std::string line = "saved: " + std::to_string(r.Files) + " files, " + std::to_string(r.Bytes) + " bytes, " +
                     std::to_string(r.Failures.size()) + " failures";
  if (r.Skipped) line += ", " + std::to_string(r.Skipped) + " existing kept";
  std::printf("%s\n", line.c_str());
  if (r.Cancelled) std::cerr << "salvex-cli: " << LoadText(713) << "\n";
  if (r.Stopped && r.Failures.empty() && !r.Cancelled) std::cerr << "salvex-cli: the save was ended early\n";
  return r.Ok() ? 0 : 1;
}

}  // namespace salvex::cli
