#include "cli/CliSave.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include "cli/Cli.h"
#include "cli/CliDfxml.h"
#include "cli/CliOutput.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "devices/TargetCheck.h"
#include "recovery/Browse.h"
#include "salvex/StringIds.h"

namespace salvex::cli {

namespace fs = std::filesystem;

namespace {

// What to try next, for the failures a person can do something about.
std::string Advice(const TError& e) {
  if (e.Kind == TErrorKind::TargetError && (e.Errno == ENOSPC || e.Errno == EDQUOT))
    return "; free some space or choose another --to folder";
  if (e.Kind == TErrorKind::TargetError && (e.Errno == EACCES || e.Errno == EPERM || e.Errno == EROFS))
    return "; choose a --to folder you may write into";
  if (e.Kind == TErrorKind::ReadError) return "; --on-read-error retry=N or ignore reads past damaged sectors";
  return "";
}

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
    if (isatty(STDERR_FILENO)) std::cerr << "\r\033[K";  // over the progress line
    // What to try is said once: a full target names every file it leaves out.
    const std::string advice = Advice(error);
    std::cerr << "salvex-cli: " << TerminalSafe(error.Text()) << (advised_.insert(advice).second ? advice : "")
              << "\n";
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
  std::set<std::string> advised_;
};

// SHA-256 of each file's bytes as the save engine writes them (libcrypto's digest: the report's
// hashes must match sha256sum's, and a hand-written digest would be one more thing to get wrong).
class TFileHasher {
 public:
  TFileHasher() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {}
  void Add(const TCustomFile& file, const uint8_t* data, size_t size) {
    if (current_ != &file) Start(&file);
    EVP_DigestUpdate(ctx_.get(), data, size);
  }
  // The hash of what was written of `file` (of nothing when no byte was).
  std::string Finish(const TCustomFile& file) {
    if (current_ != &file) Start(&file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_.get(), digest, &length);
    current_ = nullptr;
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text += hex[digest[i] >> 4];
      text += hex[digest[i] & 15];
    }
    return text;
  }

 private:
  void Start(const TCustomFile* file) {
    EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
    current_ = file;
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
  const TCustomFile* current_ = nullptr;
};

const char* OutcomeName(TSavedFile::TOutcome outcome) {
  switch (outcome) {
    case TSavedFile::TOutcome::Saved: return "saved";
    case TSavedFile::TOutcome::Skipped: return "skipped";
    case TSavedFile::TOutcome::Partial: return "partial";
    default: return "failed";
  }
}

const char* ErrorKindName(TErrorKind kind) {
  switch (kind) {
    case TErrorKind::NotThisFileSystem: return "not-this-file-system";
    case TErrorKind::Corrupt: return "corrupt";
    case TErrorKind::ReadError: return "read-error";
    case TErrorKind::TargetError: return "target-error";
    case TErrorKind::NotFound: return "not-found";
    case TErrorKind::BadArgument: return "bad-argument";
    default: return "cancelled";
  }
}

nlohmann::json FailureJson(const TError& e) {
  nlohmann::json j;
  j["kind"] = ErrorKindName(e.Kind);
  j["what"] = e.What;
  j["reason"] = e.Why;
  if (e.Errno) j["errno"] = e.Errno;
  return j;
}

// Creates the missing folders of `path` and returns them, outermost first; throws with the
// system's reason when one cannot be made.
std::vector<fs::path> MakeTarget(const fs::path& path) {
  std::vector<fs::path> missing;
  for (fs::path p = fs::absolute(path).lexically_normal(); !p.empty(); p = p.parent_path()) {
    std::error_code ec;
    const auto status = fs::symlink_status(p, ec);
    if (fs::exists(status)) {
      if (!fs::is_directory(fs::status(p, ec)))
        throw TCliError("cannot use '" + path.string() + "' as the target folder: '" + p.string() +
                        "' is a file, not a folder; choose another --to");
      break;
    }
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  for (const fs::path& p : missing) {
    std::error_code ec;
    if (!fs::create_directory(p, ec) && ec)
      throw TCliError("cannot create the target folder '" + p.string() + "': " + ec.message() +
                      (ec == std::errc::permission_denied || ec == std::errc::read_only_file_system
                           ? "; choose a --to folder you may write into"
                           : ""));
  }
  return missing;
}

}  // namespace

void AddSaveOptions(CLI::App& cmd, TSaveArgs& a, bool toRequired) {
  auto* to = cmd.add_option("--to", a.To, "target folder (created when something is saved into it)");
  if (toRequired) to->required();
  cmd.add_option("--overwrite", a.Overwrite, "existing files: ask (on a terminal; otherwise they are kept), all, none")
      ->check(CLI::IsMember({"ask", "all", "none"}));
  cmd.add_option("--report", a.Report,
                 "write a JSON report: per file its source path, saved path, size, SHA-256, condition and failures");
  cmd.add_flag("--allow-examined-device", a.AllowExaminedDevice,
               "save even into a folder on the device being examined");
  cmd.add_option("--on-read-error", a.OnReadError, "unreadable sectors: abort, ignore (save zeros) or retry=N")
      ->check(ReadErrorPolicyValidator());
  AddDfxmlOption(cmd, a.Dfxml);
}

void CheckReportWritable(const std::string& path) {
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) throw TCliError("cannot write the report " + path + ": " + std::strerror(errno));
  ::close(fd);
  if (!existed) ::unlink(path.c_str());
}

CLI::Validator ReadErrorPolicyValidator() {
  return CLI::Validator(
      [](std::string& s) {
        if (s == "abort" || s == "ignore") return std::string();
        if (s.rfind("retry=", 0) == 0 && s.size() > 6 && s.size() < 10 &&
            s.find_first_not_of("0123456789", 6) == std::string::npos)
          return std::string();
        return "'" + s + "' is not abort, ignore or retry=N";
      },
      "abort|ignore|retry=N");
}

void ApplyReadErrorPolicy(TCliContext& ctx, const TSaveArgs& args) { ApplyReadErrorPolicy(ctx, args.OnReadError); }

void ApplyReadErrorPolicy(TCliContext& ctx, const std::string& policy) {
  if (policy == "ignore") {
    ctx.Host.OnReadError = TReadErrorPolicy::Ignore;
  } else if (policy.rfind("retry=", 0) == 0) {
    ctx.Host.OnReadError = TReadErrorPolicy::Retry;
    ctx.Host.RetriesLeft = std::stoi(policy.substr(6));
  } else {
    ctx.Host.OnReadError = TReadErrorPolicy::Abort;
  }
}

int SaveAndReport(TCliContext& ctx, TCustomDrive& drive, size_t volume, const std::vector<TItem*>& items,
                  const TSaveArgs& args, TSaveOptions options, nlohmann::json& document,
                  const std::string& nothingText) {
  ApplyReadErrorPolicy(ctx, args);
  if (drive.Device && !args.AllowExaminedDevice && TargetOnExaminedDevice(*drive.Device, args.To))
    throw TCliError("the target folder " + args.To +
                    " lies on the device being examined; saving there could overwrite what is to be recovered;"
                    " choose a folder on another disk (or --allow-examined-device to save anyway)");
  // Checked before anything is saved, so that a report that cannot be written costs no work.
  std::unique_ptr<std::ofstream> reportFile;
  if (!args.Report.empty()) {
    reportFile = std::make_unique<std::ofstream>(args.Report, std::ios::trunc);
    if (!*reportFile)
      throw TCliError("cannot write the report " + args.Report + ": " + std::strerror(errno));
  }
  std::unique_ptr<TDfxmlWriter> dfxml = OpenDfxml(args.Dfxml, ctx);
  if (dfxml) dfxml->Volume(drive);
  const std::vector<fs::path> created = MakeTarget(args.To);

  options.Target = args.To;
  if (ctx.MappedIO) {
    const TReadChoice choice = options.Read;
    options.NeverRead = [&ctx, choice](TCustomFile& f) { return ctx.NeverRead(f, choice); };
  }
  const bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  options.Overwrite = args.Overwrite == "all"    ? TOverwritePolicy::All
                      : args.Overwrite == "none" ? TOverwritePolicy::None
                      : interactive              ? TOverwritePolicy::Ask
                                                 : TOverwritePolicy::None;
  TFileHasher hasher;
  nlohmann::json files = nlohmann::json::array();
  uint64_t partial = 0, failed = 0, seen = 0;
  std::set<std::pair<std::string, std::string>> fileFailures;  // what, why
  // Per-file rows and their hashes only go into JSON and the report.
  const bool listFiles = ctx.Json || reportFile || dfxml;
  if (listFiles)
    options.OnBytes = [&hasher](const TCustomFile& f, const uint8_t* data, size_t n) { hasher.Add(f, data, n); };
  options.OnFile = [&](const TSavedFile& saved) {
    ++seen;
    if (saved.Outcome == TSavedFile::TOutcome::Partial) ++partial;
    if (saved.Outcome == TSavedFile::TOutcome::Failed) ++failed;
    for (const TError& e : saved.Errors) fileFailures.insert({e.What, e.Why});
    if (!listFiles) return;
    TItemRow row = RowOf(*const_cast<TCustomFile*>(saved.File));
    const bool written = saved.Outcome == TSavedFile::TOutcome::Saved || saved.Outcome == TSavedFile::TOutcome::Partial;
    const std::string sha256 = written && !saved.SavedPath.empty() ? hasher.Finish(*saved.File) : std::string();
    const std::string savedAs =
        saved.SavedPath.empty() ? std::string() : fs::absolute(saved.SavedPath).lexically_normal().string();
    // Only what was saved whole carries a hash in DFXML: a partial file's bytes are not the file's.
    if (dfxml) dfxml->File(row, saved.Outcome == TSavedFile::TOutcome::Saved ? sha256 : std::string(), savedAs);
    nlohmann::json j;
    j["source"] = row.Path;
    j["tree"] = TreeName(row.Tree);
    j["saved_as"] = savedAs.empty() ? nlohmann::json(nullptr) : nlohmann::json(savedAs);
    j["size"] = row.Size;
    j["bytes_written"] = saved.Bytes;
    j["sha256"] = sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(sha256);
    j["state"] = StateName(row);
    const char* condition = ConditionName(row);
    j["condition"] = condition ? nlohmann::json(condition) : nlohmann::json(nullptr);
    j["status"] = OutcomeName(saved.Outcome);
    if (!saved.Renamed.empty()) j["renamed"] = saved.Renamed;
    nlohmann::json failures = nlohmann::json::array();
    for (const TError& e : saved.Errors) failures.push_back(FailureJson(e));
    j["failures"] = failures;
    files.push_back(std::move(j));
  };

  TCliQuestions questions(interactive);
  ctx.StatusView->Unit = "B";
  const TSaveReport r = SaveItems(items, options, questions, ctx.Status.get());

  // Nothing written: leave no empty folder behind that the command made.
  bool targetKept = true;
  if (r.Files == 0 && r.Bytes == 0 && r.Partial.empty()) {
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
      std::error_code ec;
      if (fs::is_empty(*it, ec) && fs::remove(*it, ec) && *it == created.front()) targetKept = false;
    }
  }

  nlohmann::json report;
  report["target"] = fs::absolute(args.To).lexically_normal().string();
  report["target_created"] = !created.empty() && targetKept;
  report["saved"] = r.Files;
  report["skipped"] = r.Skipped;
  report["partial"] = partial;
  report["failed"] = failed;
  report["failed_folders"] = r.FailedFolders;
  report["errors"] = r.Failures.size();
  report["bytes"] = r.Bytes;
  report["zero_filled_sectors"] = r.ZeroFilledSectors;
  report["cancelled"] = r.Cancelled;
  report["stopped"] = r.Stopped;
  nlohmann::json other = nlohmann::json::array();
  // Failures that belong to no file (a folder that could not be made, the target itself).
  for (const TSaveFailure& f : r.Failures)
    if (!fileFailures.count({f.Error.What, f.Error.Why})) other.push_back(FailureJson(f.Error));
  report["other_failures"] = other;
  for (const auto& w : r.Warnings) report["warnings"].push_back(w);
  if (!report.contains("warnings")) report["warnings"] = nlohmann::json::array();
  report["files"] = files;

  document["volume"] = volume;
  document["fs"] = drive.FileSystemName();
  document["report"] = report;
  if (reportFile) {
    *reportFile << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    reportFile->close();
    if (!*reportFile) std::cerr << "salvex-cli: the report " << args.Report << " could not be written whole\n";
  }

  if (dfxml) dfxml->Finish();
  if (ctx.Json) {
    PrintJson(document);
  } else {
    for (const auto& w : r.Warnings) std::cerr << "salvex-cli: warning: " << TerminalSafe(w) << "\n";
    for (const auto& p : r.Partial) std::cerr << "salvex-cli: incomplete, kept as " << TerminalSafe(p) << "\n";
    for (const auto& n : r.Renamed) std::cerr << "salvex-cli: " << TerminalSafe(n) << "\n";
    std::string line = "saved: " + std::to_string(r.Files) + " files, " + std::to_string(r.Bytes) + " bytes, " +
                       std::to_string(r.Skipped) + " skipped (existing kept), " + std::to_string(partial) +
                       " partial, " + std::to_string(failed) + " failed";
    if (r.FailedFolders > 0) line += ", " + std::to_string(r.FailedFolders) + " folder(s) unreadable";
    if (!r.Renamed.empty()) line += ", " + std::to_string(r.Renamed.size()) + " renamed";
    std::printf("%s\n", line.c_str());
    if (r.Skipped + r.KeptNotWhole > 0 && args.Overwrite != "all")
      std::cerr << "salvex-cli: " << r.Skipped + r.KeptNotWhole << " file(s) already in " << args.To
                << " were kept; --overwrite all replaces them\n";
  }
  if (seen == 0 && r.Failures.empty() && !r.Cancelled) std::cerr << "salvex-cli: " << nothingText << "\n";
  if (r.Cancelled) std::cerr << "salvex-cli: " << LoadText(txt::SavingCancelled) << "\n";
  if (r.Stopped && r.Failures.empty() && !r.Cancelled) std::cerr << "salvex-cli: the save was ended early\n";
  return r.Ok() ? 0 : 1;
}

}  // namespace salvex::cli
