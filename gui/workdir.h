// KeyPorter's private working folder, the current directory the image library
// writes through (its table file and any other relative name), and the reason
// told for a failed library call.
#pragma once
#include <QString>
#include <string>

namespace keyporter {

// A folder of our own, made under $TMPDIR (or /tmp) with mkdtemp when the
// window starts and removed with everything in it when the window goes, so
// that no working file ever lands next to the user's own files.
class WorkDir {
 public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  bool ok() const { return !dir_.isEmpty(); }
  const QString& path() const { return dir_; }
  // Why the folder could not be made (empty when it was).
  const QString& error() const { return error_; }
  QString file(const char* name) const { return dir_ + QLatin1Char('/') + QLatin1String(name); }

  // Empty when the folder is still there and writable, else the reason.
  QString unusable() const;

  void remove();

 private:
  QString dir_;
  QString error_;
};

// While alive, the current directory is `dir`; the previous one is restored
// through a descriptor, so it comes back even if it was renamed meanwhile.
class ScopedChdir {
 public:
  explicit ScopedChdir(const QString& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

  bool ok() const { return entered_; }
  int error() const { return error_; }

 private:
  int saved_ = -1;
  bool entered_ = false;
  int error_ = 0;
};

// The reason a failed library call gave: `message` (flash_last_error after
// the call, an "error: " prefix dropped) unless it is still `before`, the text
// an earlier failure left; else errno's text, else "no reason given".
QString failure_reason(const std::string& before, const std::string& message, int err);

}  // namespace keyporter
