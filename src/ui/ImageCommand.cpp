#include "ui/ImageCommand.h"

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "devices/StatusDialog.h"
#include "disk/RawIO.h"
#include "salvex/StringIds.h"
#include "ui/StatusWindow.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

QString Bytes(uint64_t bytes) { return LanguageLocale().formattedDataSize(qint64(bytes), 2, QLocale::DataSizeSIFormat); }

QString Number(uint64_t n) { return LanguageLocale().toString(qulonglong(n)); }

int PhaseText(char phase) {
  switch (phase) {
    case RescueNonTried: return txt::PhaseCopying;
    case RescueNonTrimmed: return txt::PhaseTrimming;
    case RescueNonScraped: return txt::PhaseScraping;
    case RescueBadSector: return txt::PhaseRetrying;
    default: return txt::PhaseFinished;
  }
}

void ShowProgress(TStatusDialog& status, const TImagerProgress& p) {
  const double rate = p.Seconds >= 1 ? double(p.RescuedThisRun) / p.Seconds : 0;
  QString speed = TextWith(txt::ImageReadRate, {rate > 0 ? Bytes(uint64_t(rate)) : QStringLiteral("–"),
                                                DurationText(qint64(p.SecondsSinceGoodRead + 0.5))});
  // Time left counts only what the copying passes still have to read.
  QString phase = TextWith(txt::ImagePhasePass, {Text(PhaseText(p.Phase)), QString::number(p.Pass)});
  if (rate > 0 && p.Phase == RescueNonTried)
    phase += "; " + TextWith(txt::ImageTimeLeft, {DurationText(qint64(double(p.NonTried) / rate))});
  status.UpdateTexts(
      "", TextWith(txt::ImageRescued, {Bytes(p.Rescued), Bytes(p.Size)}).toStdString(),
      TextWith(txt::ImageBadAreas, {Number(p.BadAreas), Bytes(p.NonTrimmed + p.NonScraped + p.BadSector)})
          .toStdString(),
      speed.toStdString(), phase.toStdString());
  if (p.Rescued > status.Position) status.StepBy(int64_t(p.Rescued - status.Position));
}

}  // namespace

TImagingOutcome RunImaging(const TImageRequest& request, TStatusDialog& status, TStatusWindow* window) {
  TImagingOutcome outcome;
  TImageRun run(RawIO());
  if (!run.Prepare(request)) {
    outcome.Error = QString::fromStdString(run.Error);
    return outcome;
  }
  std::mutex lock;
  std::optional<TImagerProgress> latest;
  TRescueMap latestMap = run.Map();
  std::atomic<bool> cancel{false}, done{false};
  run.Cancelled = [&] { return cancel.load(); };
  run.OnProgress = [&](const TImagerProgress& p) {
    std::lock_guard<std::mutex> hold(lock);
    latest = p;
    latestMap = run.Map();
  };

  status.Setup(Text(txt::CreatingDiskImage).toStdString(),
               TextWith(txt::ImageSource, {QString::fromStdString(request.Source)}).toStdString(), "", "", "", true,
               false);
  status.Max = run.Map().Size();
  status.Position = 0;
  if (window) window->ShowMap(run.Map());
  status.Show();
  bool ok = false;
  std::thread worker([&] {
    ok = run.Run();
    done = true;
  });
  QEventLoop loop;
  QTimer timer;
  auto poll = [&] {
    if (status.Cancelled) cancel = true;
    std::optional<TImagerProgress> p;
    TRescueMap map;
    {
      std::lock_guard<std::mutex> hold(lock);
      p.swap(latest);
      if (p) map = latestMap;
    }
    if (p) {
      ShowProgress(status, *p);
      if (window) window->ShowMap(map);
    }
    if (done) loop.quit();
  };
  QObject::connect(&timer, &QTimer::timeout, &loop, poll);
  timer.start(100);
  loop.exec();
  worker.join();
  status.Hide();
  if (window) window->ClearMap();

  outcome.Ok = ok;
  outcome.Cancelled = run.WasCancelled();
  outcome.Error = QString::fromStdString(run.Error);
  outcome.Progress = run.Progress();
  outcome.Map = run.Map();
  return outcome;
}

QString ImagingSummary(const TImageRequest& request, const TImagingOutcome& outcome) {
  const QString image = QString::fromStdString(request.Target), map = QString::fromStdString(request.Map);
  if (!outcome.Ok) return TextWith(txt::ImagingFailed, {outcome.Error});
  const TImagerProgress& p = outcome.Progress;
  if (outcome.Cancelled) return TextWith(txt::ImageCancelled, {Number(p.Rescued), Number(p.Size), map});
  if (p.Rescued == p.Size) return TextWith(txt::ImageComplete, {Number(p.Size), image, map});
  return TextWith(txt::ImagePartial, {Number(p.Rescued), Number(p.Size), Number(p.Size - p.Rescued), image, map});
}

}  // namespace salvex::ui
