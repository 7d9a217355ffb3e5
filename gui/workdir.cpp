#include "workdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace keyporter {

namespace {

QString errno_text(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

}  // namespace

WorkDir::WorkDir() {
  QByteArray base = qgetenv("TMPDIR");
  if (base.isEmpty()) base = "/tmp";
  std::vector<char> name(base.begin(), base.end());
  for (char c : std::string("/keyporter-XXXXXX")) name.push_back(c);
  name.push_back('\0');
  if (::mkdtemp(name.data()))
    dir_ = QString::fromLocal8Bit(name.data());
  else
    error_ = QStringLiteral("KeyPorter cannot create its working folder in %1: %2")
                 .arg(QString::fromLocal8Bit(base), errno_text(errno));
}

WorkDir::~WorkDir() { remove(); }

QString WorkDir::unusable() const {
  if (dir_.isEmpty()) return error_;
  const QByteArray local = dir_.toLocal8Bit();
  struct stat st;
  int err = 0;
  if (::lstat(local.constData(), &st) != 0)
    err = errno;
  else if (!S_ISDIR(st.st_mode))
    err = ENOTDIR;
  else if (::access(local.constData(), W_OK | X_OK) != 0)
    err = errno;
  if (!err) return QString();
  return QStringLiteral("KeyPorter's working folder %1 cannot be used: %2").arg(dir_, errno_text(err));
}

void WorkDir::remove() {
  if (dir_.isEmpty()) return;
  // Only ever our own folder; remove_all does not follow links inside it.
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(dir_.toLocal8Bit().toStdString()), ec);
  dir_.clear();
}

ScopedChdir::ScopedChdir(const QString& dir) {
  saved_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (saved_ < 0) {
    error_ = errno;
    return;
  }
  if (dir.isEmpty()) {
    error_ = ENOENT;
  } else if (::chdir(dir.toLocal8Bit().constData()) != 0) {
    error_ = errno;
  } else {
    entered_ = true;
  }
}

ScopedChdir::~ScopedChdir() {
  if (saved_ < 0) return;
  if (entered_ && ::fchdir(saved_) != 0) std::perror("KeyPorter: cannot return to the start folder");
  ::close(saved_);
}

StdoutCapture::StdoutCapture(const QString& dir) {
  std::fflush(stdout);
  const QByteArray local = dir.toLocal8Bit();
  file_ = ::open(local.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (file_ < 0) return;  // nothing captured; the call still runs
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ < 0 || ::dup2(file_, STDOUT_FILENO) < 0) {
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
    ::close(file_);
    file_ = -1;
  }
}

StdoutCapture::~StdoutCapture() { finish(); }

const std::string& StdoutCapture::finish() {
  if (done_) return text_;
  done_ = true;
  if (file_ < 0) return text_;
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  if (::lseek(file_, 0, SEEK_SET) == 0) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(file_, buf, sizeof buf)) > 0 && text_.size() < (1u << 20)) text_.append(buf, size_t(n));
  }
  ::close(file_);
  // The lines still belong on the terminal the user started us from.
  if (!text_.empty()) {
    std::fwrite(text_.data(), 1, text_.size(), stdout);
    std::fflush(stdout);
  }
  return text_;
}

QString failure_reason(const std::string& printed, int err) {
  // The library's error lines when it printed any (progress notes are not a
  // reason), else the last few lines it printed.
  QStringList errors, lines;
  for (QString line : QString::fromLocal8Bit(printed.data(), int(printed.size())).split(QLatin1Char('\n'))) {
    line = line.trimmed();
    if (line.isEmpty()) continue;
    if (line.startsWith(QLatin1String("error: "))) errors << line.mid(7);
    lines << line;
  }
  if (!errors.isEmpty()) return errors.join(QLatin1Char('\n'));
  if (!lines.isEmpty()) return lines.mid(qMax(0, int(lines.size()) - 4)).join(QLatin1Char('\n'));
  if (err) return errno_text(err);
  return QStringLiteral("no reason given");
}

}  // namespace keyporter
