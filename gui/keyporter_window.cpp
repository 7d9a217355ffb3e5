#include "keyporter_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <cstring>

#include "ui_keyporter_window.h"

// The pictures live in a static library; nothing would pull them in otherwise.
static void init_pictures() { Q_INIT_RESOURCE(keyporter); }

namespace {

constexpr int kReadChunk = 4 * 1024 * 1024;
constexpr const char* kFilter = "*.bin;;*.*";

struct ThemeKind {
  const char* locations[2];
  const char* local;
  const char* destination;
};
const ThemeKind kThemes[2] = {
    {{"ROOT//dvb/theme/keymap.xml", "THEME//theme/keymap.xml"}, "keymap.xml", "ROOT//dvb/theme/keymap.xml"},
    {{"ROOT//dvb/theme/panel.xml", "THEME//theme/panel.xml"}, "panel.xml", "ROOT//dvb/theme/panel.xml"},
};

std::vector<uint8_t> read_whole(QFile& f) {
  QByteArray bytes = f.readAll();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

QByteArray local_path(const QString& path) { return QFile::encodeName(path); }

// The README beside an installed program, else the one of the source tree the
// program was built from; empty when neither is there.
QString find_readme() {
  const QString app = QCoreApplication::applicationDirPath();
  QStringList candidates{app + QStringLiteral("/../share/doc/romsmith/README.md")};
#ifdef KEYPORTER_SOURCE_README
  candidates << QStringLiteral(KEYPORTER_SOURCE_README);
#endif
  for (const QString& c : candidates)
    if (QFileInfo(c).isFile()) return QFileInfo(c).canonicalFilePath();
  return QString();
}

}  // namespace

KeyPorterWindow::KeyPorterWindow(QWidget* parent, const QString& library_path)
    : QMainWindow(parent),
      ui(std::make_unique<Ui::KeyPorterWindowClass>()),
      work(std::make_unique<keyporter::WorkDir>()) {
  init_pictures();
  ui->setupUi(this);
  setWindowTitle(QStringLiteral("KeyPorter - V1.1"));
  loaderKeys.codes.fill(keyporter::kKeyEnd);
  // Exit works whatever else failed.
  connect(ui->btnExit, &QPushButton::clicked, this, &KeyPorterWindow::ToolExit);

  QStringList problems;
  if (!work->ok()) problems << work->error();
  const QString lib_problem = bindLibrary(library_path);
  if (!lib_problem.isEmpty()) problems << lib_problem;
  fillContactArea();
  if (!problems.isEmpty()) {
    startProblem_ = problems.join(QStringLiteral("\n\n"));
    disableAllButExit();
    // Queued so that the window is up first and the box goes through the
    // (possibly overridden) showCritical.
    QTimer::singleShot(0, this, [this] { showCritical(QStringLiteral("KeyPorter"), startProblem_); });
    return;
  }
  connect(ui->btnOpenSrc, &QPushButton::clicked, this, &KeyPorterWindow::OpenSrc);
  connect(ui->btnOpenDst, &QPushButton::clicked, this, &KeyPorterWindow::OpenDst);
  connect(ui->btnSaveAs, &QPushButton::clicked, this, &KeyPorterWindow::SaveAs);
}

KeyPorterWindow::~KeyPorterWindow() {
  {
    std::optional<keyporter::ScopedChdir> in;
    if (work->ok()) in.emplace(work->path());
    releaseImage(srcImage);
    releaseImage(dstImage);
  }
  if (library) library->unload();
}

void KeyPorterWindow::disableAllButExit() {
  for (QWidget* w :
       {static_cast<QWidget*>(ui->btnOpenSrc), static_cast<QWidget*>(ui->btnOpenDst),
        static_cast<QWidget*>(ui->btnSaveAs), static_cast<QWidget*>(ui->chkKeymap), static_cast<QWidget*>(ui->chkPanel),
        static_cast<QWidget*>(ui->edtPathSrc), static_cast<QWidget*>(ui->edtPathDst)})
    w->setEnabled(false);
}

void KeyPorterWindow::fillContactArea() {
  ui->label_6->setText(QStringLiteral("<b>romsmith</b>: tools for set-top box flash images"));
  const QString readme = find_readme();
  if (readme.isEmpty()) {
    ui->label_7->setText(QStringLiteral("Help: README.md in the romsmith sources"));
  } else {
    ui->label_7->setText(QStringLiteral("Help: <a href=\"%1\">README.md</a>")
                             .arg(QUrl::fromLocalFile(readme).toString(QUrl::FullyEncoded).toHtmlEscaped()));
    ui->label_7->setToolTip(readme);
  }
  ui->label_8->setText(library ? QStringLiteral("Library: %1").arg(library->fileName())
                               : QStringLiteral("Library: not loaded"));
}

QString KeyPorterWindow::bindLibrary(const QString& library_path) {
  QStringList candidates;
  if (!library_path.isEmpty()) {
    candidates << library_path;
  } else {
    // Beside the program (a build tree), then the library folder of the
    // prefix it was installed to, then the system's search. Installed, only
    // the versioned name is sure to be there: the plain one is a development link.
    const QString app = QCoreApplication::applicationDirPath();
    candidates << app + QLatin1Char('/') + QLatin1String(keyporter::kLibraryFile);
#ifdef KEYPORTER_LIBDIR_FROM_BINDIR
    candidates << QDir::cleanPath(app + QStringLiteral("/" KEYPORTER_LIBDIR_FROM_BINDIR "/") +
                                  QLatin1String(keyporter::kLibrarySoname));
#endif
    candidates << QLatin1String(keyporter::kLibrarySoname) << QLatin1String(keyporter::kLibraryFile);
  }
  QStringList reasons;
  for (const QString& name : candidates) {
    // A named file that is not there is said plainly; the loader's own text
    // lists the variants it tried.
    if (name.contains(QLatin1Char('/')) && !QFileInfo::exists(name)) {
      reasons << QStringLiteral("%1: No such file or directory").arg(name);
      continue;
    }
    auto lib = std::make_unique<QLibrary>(name);
    if (!lib->load()) {
      reasons << lib->errorString();
      continue;
    }

    // A library that lacks one of these cannot do the job; treat it like a
    // missing one rather than call through a null pointer later.
    QStringList missing;
    auto bind = [&](auto& fn, const char* symbol) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(lib->resolve(symbol));
      if (!fn) missing << QLatin1String(symbol);
    };
    bind(flash_load_bin, "flash_load_bin");
    bind(flash_save, "flash_save");
    bind(flash_read, "flash_read");
    bind(flash_rm, "flash_rm");
    bind(flash_add, "flash_add");
    bind(flash_partition_dump, "flash_partition_dump");
    bind(flash_update_f, "flash_update_f");
    bind(flash_last_error, "flash_last_error");
    flash_free = reinterpret_cast<keyporter::flash_free_fn>(lib->resolve("flash_free"));
    if (!missing.isEmpty()) {
      reasons << QStringLiteral("%1 lacks %2").arg(lib->fileName(), missing.join(QStringLiteral(", ")));
      flash_load_bin = nullptr;
      flash_save = nullptr;
      flash_read = nullptr;
      flash_rm = nullptr;
      flash_add = nullptr;
      flash_partition_dump = nullptr;
      flash_update_f = nullptr;
      flash_last_error = nullptr;
      flash_free = nullptr;
      lib->unload();
      continue;
    }
    library = std::move(lib);
    srcImage = nullptr;
    dstImage = nullptr;
    return QString();
  }
  return QStringLiteral("KeyPorter cannot work without a complete image library %1.\n%2")
      .arg(QLatin1String(keyporter::kLibraryFile), reasons.join(QLatin1Char('\n')));
}

bool KeyPorterWindow::enterWorkDir(const QString& title, std::optional<keyporter::ScopedChdir>& in) {
  QString why = work->unusable();
  if (why.isEmpty()) {
    in.emplace(work->path());
    if (!in->ok()) {
      why = QStringLiteral("KeyPorter's working folder %1 cannot be used: %2")
                .arg(work->path(), QString::fromLocal8Bit(std::strerror(in->error())));
      in.reset();
    }
  }
  if (why.isEmpty()) return true;
  showCritical(title, why);
  return false;
}

flash* KeyPorterWindow::loadImage(const QString& path) {
  // A file we cannot even open is not an unsupported image: say why.
  int fd = ::open(local_path(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a fifo must not hang us
  if (fd < 0) {
    showCritical(QStringLiteral("Import"),
                 QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return nullptr;
  }
  ::close(fd);
  const std::string before = lastError(nullptr);
  errno = 0;
  flash* image = flash_load_bin(path.toUtf8().constData());
  const int err = errno;
  if (!image)
    showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin\n%1\n%2")
                                               .arg(path, keyporter::failure_reason(before, lastError(nullptr), err)));
  return image;
}

std::string KeyPorterWindow::lastError(flash* image) const {
  const char* text = flash_last_error ? flash_last_error(image) : nullptr;
  return text ? std::string(text) : std::string();
}

void KeyPorterWindow::releaseImage(flash*& image) {
  if (image && flash_free) flash_free(image);
  image = nullptr;
}

QString KeyPorterWindow::askOpenFileName(const QString& caption) {
  return QFileDialog::getOpenFileName(this, caption, QString(), QLatin1String(kFilter));
}

QString KeyPorterWindow::askSaveFileName(const QString& caption) {
  return QFileDialog::getSaveFileName(this, caption, QString(), QLatin1String(kFilter));
}

void KeyPorterWindow::showInformation(const QString& title, const QString& text) {
  QMessageBox::information(nullptr, title, text);
}

void KeyPorterWindow::showCritical(const QString& title, const QString& text) {
  QMessageBox::critical(nullptr, title, text);
}

int KeyPorterWindow::ExtractThemeFile(int kind) {
  if (!library || kind < 0 || kind > 1 || !srcImage) return -1;
  const ThemeKind& theme = kThemes[kind];

  QByteArray content;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const QByteArray location(theme.locations[themePathIndex]);
    QByteArray chunk(kReadChunk, '\0');
    int n = flash_read(srcImage, location.constData(), chunk.data(), kReadChunk, 0);
    if (n > 0) {
      // A file of more than one chunk is read on rather than cut off.
      content.append(chunk.constData(), qMin(n, kReadChunk));
      // The cap only guards against a library that never reports the end.
      while (n == kReadChunk && content.size() < 64 * kReadChunk) {
        chunk.fill('\0');
        n = flash_read(srcImage, location.constData(), chunk.data(), kReadChunk, content.size());
        if (n > 0) content.append(chunk.constData(), qMin(n, kReadChunk));
      }
      break;
    }
    themePathIndex = (themePathIndex + 1) % 2;
  }
  if (content.isEmpty()) return -1;

  QFile out(work->file(theme.local));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(content) != content.size() || !out.flush()) {
    writeError = QStringLiteral("Cannot write %1: %2").arg(out.fileName(), out.errorString());
    out.close();
    out.remove();
    return -2;
  }
  out.close();
  return 0;
}

void KeyPorterWindow::OpenSrc() {
  if (!library) return;
  const QString chosen = askOpenFileName(QStringLiteral("Import from"));
  if (chosen.isEmpty()) return;
  if (!ui->chkKeymap->isChecked() && !ui->chkPanel->isChecked()) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Remote Key or Panel,select at least one."));
    return;
  }
  // Made absolute before the library runs in the working folder.
  const QString path = QFileInfo(chosen).absoluteFilePath();
  std::optional<keyporter::ScopedChdir> in;
  if (!enterWorkDir(QStringLiteral("Import"), in)) return;

  releaseImage(srcImage);
  loaderBlockFound = false;
  keymapExtracted = false;
  panelExtracted = false;
  ui->edtPathSrc->setText(chosen);
  // No library call may see a null image; a file that is no image is a
  // source that supports nothing.
  srcImage = loadImage(path);
  if (!srcImage) {
    ui->btnSaveAs->setEnabled(false);
    return;
  }

  const QString loader = work->file("loader.bin");
  QFile::remove(loader);  // no stale dump may pass for this source's boot loader
  flash_partition_dump(srcImage, "BOOT", loader.toUtf8().constData());
  std::vector<uint8_t> boot;
  {
    QFile f(loader);
    if (f.open(QIODevice::ReadOnly)) boot = read_whole(f);
  }
  QFile::remove(loader);
  if (auto keys = keyporter::find_loader_keys(boot)) {
    loaderKeys = *keys;
    loaderBlockFound = true;
  }

  leds.value_found = false;

  int failure = 0;
  writeError.clear();
  if (ui->chkKeymap->isChecked()) {
    int rc = ExtractThemeFile(0);
    if (rc == -1) failure |= 1;
    keymapExtracted = rc == 0;
  }
  if (ui->chkPanel->isChecked() && writeError.isEmpty()) {
    int rc = ExtractThemeFile(1);
    if (rc == -1) failure |= 2;
    panelExtracted = rc == 0;
    if (rc == 0) {
      QFile f(work->file("panel.xml"));
      // An unreadable or malformed panel.xml only leaves the LED data unset.
      if (f.open(QIODevice::ReadOnly | QIODevice::Text)) keyporter::parse_panel_xml(f.readAll(), leds);
    }
  }

  // Our own folder failing is no fault of the source image.
  if (!writeError.isEmpty()) {
    showCritical(QStringLiteral("Import"), writeError);
    ui->btnSaveAs->setEnabled(false);
    return;
  }
  if (failure == 1) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Remoter Key"));
  if (failure == 2) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Panel"));
  if (failure == 3) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support"));
  ui->btnSaveAs->setEnabled(failure == 0);
}

void KeyPorterWindow::OpenDst() {
  if (!library) return;
  const QString chosen = askOpenFileName(QStringLiteral("Import to"));
  if (chosen.isEmpty()) return;
  const QString path = QFileInfo(chosen).absoluteFilePath();
  std::optional<keyporter::ScopedChdir> in;
  if (!enterWorkDir(QStringLiteral("Import"), in)) return;
  ui->edtPathDst->setText(chosen);
  releaseImage(dstImage);
  // Refused now, as a source is, rather than by a puzzling save later.
  dstImage = loadImage(path);
}

bool KeyPorterWindow::patchDestinationLoader() {
  const QString name = work->file("bt.bin");
  QFile::remove(name);
  flash_partition_dump(dstImage, "BOOT", name.toUtf8().constData());
  // No dump means no BOOT partition: a destination we cannot patch.
  if (!QFile::exists(name)) {
    showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
    return false;
  }
  QFile f(name);
  if (!f.open(QIODevice::ReadWrite)) {
    showCritical(QStringLiteral("Import"), QStringLiteral("Cannot open %1: %2").arg(name, f.errorString()));
    return false;
  }
  std::vector<uint8_t> boot = read_whole(f);

  const keyporter::PanelLeds* glyphs = leds.value_found ? &leds : nullptr;
  if (keyporter::patch_boot(boot, loaderKeys, glyphs) != keyporter::PatchResult::ok) {
    showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
    return false;
  }
  bool ok = f.seek(0) &&
            f.write(reinterpret_cast<const char*>(boot.data()), qint64(boot.size())) == qint64(boot.size()) &&
            f.flush();
  if (!ok) showCritical(QStringLiteral("Import"), QStringLiteral("Cannot write %1: %2").arg(name, f.errorString()));
  f.close();
  return ok;
}

bool KeyPorterWindow::carryOver() {
  const bool keymap = ui->chkKeymap->isChecked();
  const bool panel = ui->chkPanel->isChecked();
  // An item checked only after the source was opened was never read from it;
  // removing the destination's file and adding nothing would lose it.
  if ((keymap && !keymapExtracted) || (panel && !panelExtracted)) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Set Import from"));
    return false;
  }
  // The boot loader is checked before the destination's tree is touched, so
  // that a refused destination keeps its files.
  if (loaderBlockFound && !patchDestinationLoader()) return false;

  for (int kind = 0; kind < 2; ++kind) {
    if (!(kind == 0 ? keymap : panel)) continue;
    const ThemeKind& theme = kThemes[kind];
    flash_rm(dstImage, theme.destination);
    if (flash_add(dstImage, theme.destination, work->file(theme.local).toUtf8().constData()) <= 0) {
      showCritical(QStringLiteral("Import"),
                   kind == 0 ? QStringLiteral("Not Support Remoter Key") : QStringLiteral("Not Support Panel"));
      return false;
    }
  }

  if (loaderBlockFound) {
    const QString bt = work->file("bt.bin");
    if (flash_update_f(dstImage, "BOOT", bt.toUtf8().constData()) != 0) {
      showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
      return false;
    }
    QFile::remove(bt);
  }
  return true;
}

void KeyPorterWindow::SaveAs() {
  if (!library) return;
  if (!srcImage) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Set Import from"));
    return;
  }
  if (!dstImage) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Set Import to"));
    return;
  }
  const QString chosen = askSaveFileName(QStringLiteral("Save As ..."));
  if (chosen.isEmpty()) return;
  const QString path = QFileInfo(chosen).absoluteFilePath();
  std::optional<keyporter::ScopedChdir> in;
  if (!enterWorkDir(QStringLiteral("Save"), in)) return;
  if (!carryOver()) return;

  // The box repeats the library's own reason for a failed save.
  const std::string before = lastError(dstImage);
  errno = 0;
  int result = flash_save(dstImage, path.toUtf8().constData(), 0);
  const int err = errno;
  // Its table file lands in the working folder (the current directory).
  QFile::remove(work->file("table.bin"));
  if (result == 0)
    showInformation(QStringLiteral("Save"), QStringLiteral("Success"));
  else
    showCritical(
        QStringLiteral("Save"),
        QStringLiteral("Save Failed\n%1\n%2").arg(path, keyporter::failure_reason(before, lastError(dstImage), err)));
}

void KeyPorterWindow::ToolExit() { close(); }

void KeyPorterWindow::closeEvent(QCloseEvent* event) {
  {
    std::optional<keyporter::ScopedChdir> in;
    if (work->ok()) in.emplace(work->path());
    releaseImage(srcImage);
    releaseImage(dstImage);
  }
  if (library) {
    library->unload();
    library.reset();
  }
  flash_free = nullptr;
  flash_last_error = nullptr;
  // Every working file lives in the private folder: removing it is the whole
  // clean-up, and nothing in the folder the program was started from is touched.
  work->remove();
  event->accept();
}
