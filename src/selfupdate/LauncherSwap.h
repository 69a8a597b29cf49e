#pragma once
// The replacement of the launcher's files by a new launcher's, step by step, each step on the
// disk before the next, with its record (launcher-update.txt) saying how far it came.

#include "base/Report.h"

#include <optional>
#include <string>
#include <vector>

// RollingBack: files are being put back after a failure; a start that finds it goes on
// putting them back rather than forward.
enum class SwapState { Copying, Swapping, Swapped, RollingBack };

struct SwapRecord {
  std::string version;
  SwapState state = SwapState::Copying;
  std::vector<std::string> files;  // the program last
};

std::string formatSwapRecord(const SwapRecord& record);
// Empty for a record that does not read whole, or names a file the launcher may not replace.
std::optional<SwapRecord> parseSwapRecord(const std::string& text);

std::string inFolder(const std::string& folder, const std::string& name);
bool fileExists(const std::string& path);  // a plain file, not a link

class LauncherSwap {
 public:
  // In folder; report takes the details for the log file; stopAtStep (tests) ends the
  // process at that step, as a kill there would.
  LauncherSwap(std::string folder, Report& report, int stopAtStep, SwapRecord record)
      : folder_(std::move(folder)), report_(report), stopAtStep_(stopAtStep), record_(std::move(record)) {}

  // Copies each new file beside its old one as NAME.quarvel-next; their names are on the
  // disk before the record says anything more.
  bool copyIn(const std::string& fromFolder);
  // Every new file is whole on the disk before the first one takes its name.
  bool putInPlace();
  // Undoes what this replacement did, and removes its record.
  void rollBack();

  const std::string& failure() const { return failure_; }

 private:
  std::string target(const std::string& file) const { return inFolder(folder_, file); }
  bool saveRecord(SwapState state);
  bool fail(const std::string& why);
  void reached();

  std::string folder_;
  Report& report_;
  int stopAtStep_;
  SwapRecord record_;
  std::string failure_;
  int step_ = 0;
};
