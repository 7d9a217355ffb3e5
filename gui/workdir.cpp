#include "workdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
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

QString failure_reason(const std::string& before, const std::string& message, int err) {
  // Nothing says when the library last failed on the image, so a text that
  // was already there before the call is an earlier failure's, not this one's.
  if (!message.empty() && message != before) {
    QString text = QString::fromLocal8Bit(message.data(), int(message.size())).trimmed();
    if (text.startsWith(QLatin1String("error:"))) text = text.mid(6).trimmed();
    if (!text.isEmpty()) return text;
  }
  if (err) return errno_text(err);
  return QStringLiteral("no reason given");
}

}  // namespace keyporter
