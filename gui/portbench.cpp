#include "portbench.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include "ui_portbench.h"

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

}  // namespace

PortBench::PortBench(QWidget* parent, const QString& library_path)
    : QMainWindow(parent), ui(std::make_unique<Ui::PortBenchClass>()) {
  init_pictures();
  ui->setupUi(this);
  setWindowTitle(QStringLiteral("KeyPorter - V1.1"));
  loaderKeys.codes.fill(keyporter::kKeyEnd);

  // Without the library the window still opens, its buttons simply do nothing.
  if (!bindLibrary(library_path)) return;
  connect(ui->btnOpenSrc, &QPushButton::clicked, this, &PortBench::OpenSrc);
  connect(ui->btnOpenDst, &QPushButton::clicked, this, &PortBench::OpenDst);
  connect(ui->btnSaveAs, &QPushButton::clicked, this, &PortBench::SaveAs);
  connect(ui->btnExit, &QPushButton::clicked, this, &PortBench::ToolExit);
}

PortBench::~PortBench() {
  releaseImage(srcImage);
  releaseImage(dstImage);
  if (library) library->unload();
}

bool PortBench::bindLibrary(const QString& library_path) {
  QStringList candidates;
  if (!library_path.isEmpty()) {
    candidates << library_path;
  } else {
    candidates << QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(keyporter::kLibraryFile)
               << QLatin1String(keyporter::kLibraryFile);
  }
  for (const QString& name : candidates) {
    auto lib = std::make_unique<QLibrary>(name);
    if (!lib->load()) continue;

    // A library that lacks one of the seven cannot do the job; treat it like
    // a missing one rather than call through a null pointer later.
    bool complete = true;
    auto bind = [&](auto& fn, const char* symbol) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(lib->resolve(symbol));
      if (!fn) {
        qWarning("KeyPorter: %s has no %s", qPrintable(lib->fileName()), symbol);
        complete = false;
      }
    };
    bind(flash_load_bin, "flash_load_bin");
    bind(flash_save, "flash_save");
    bind(flash_read, "flash_read");
    bind(flash_rm, "flash_rm");
    bind(flash_add, "flash_add");
    bind(flash_partition_dump, "flash_partition_dump");
    bind(flash_update_f, "flash_update_f");
    flash_free = reinterpret_cast<keyporter::flash_free_fn>(lib->resolve("flash_free"));
    if (!complete) {
      flash_load_bin = nullptr;
      flash_save = nullptr;
      flash_read = nullptr;
      flash_rm = nullptr;
      flash_add = nullptr;
      flash_partition_dump = nullptr;
      flash_update_f = nullptr;
      flash_free = nullptr;
      lib->unload();
      return false;
    }
    library = std::move(lib);
    srcImage = nullptr;
    dstImage = nullptr;
    return true;
  }
  return false;
}

void PortBench::releaseImage(flash*& image) {
  if (image && flash_free) flash_free(image);
  image = nullptr;
}

QString PortBench::askOpenFileName(const QString& caption) {
  return QFileDialog::getOpenFileName(this, caption, QString(), QLatin1String(kFilter));
}

QString PortBench::askSaveFileName(const QString& caption) {
  return QFileDialog::getSaveFileName(this, caption, QString(), QLatin1String(kFilter));
}

void PortBench::showInformation(const QString& title, const QString& text) {
  QMessageBox::information(nullptr, title, text);
}

void PortBench::showCritical(const QString& title, const QString& text) { QMessageBox::critical(nullptr, title, text); }

int PortBench::ExtractThemeFile(int kind) {
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

  QFile out(QLatin1String(theme.local));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return -1;
  bool ok = out.write(content) == content.size();
  out.close();
  return ok ? 0 : -1;
}

void PortBench::OpenSrc() {
  if (!library) return;
  const QString path = askOpenFileName(QStringLiteral("Import from"));
  if (path.isEmpty()) return;
  if (!ui->chkKeymap->isChecked() && !ui->chkPanel->isChecked()) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Remote Key or Panel,select at least one."));
    return;
  }

  releaseImage(srcImage);
  srcImage = flash_load_bin(path.toUtf8().constData());
  loaderBlockFound = false;
  keymapExtracted = false;
  panelExtracted = false;
  if (!srcImage) {
    // No library call may see a null image; a file that is no image is a
    // source that supports nothing.
    ui->edtPathSrc->setText(path);
    showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
    ui->btnSaveAs->setEnabled(false);
    return;
  }

  const QString loader = QStringLiteral("loader.bin");
  QFile::remove(loader);  // no stale dump may pass for this source's boot loader
  flash_partition_dump(srcImage, "BOOT", "loader.bin");
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

  ui->edtPathSrc->setText(path);
  leds.value_found = false;

  int failure = 0;
  if (ui->chkKeymap->isChecked()) {
    if (ExtractThemeFile(0) != 0)
      failure |= 1;
    else
      keymapExtracted = true;
  }
  if (ui->chkPanel->isChecked()) {
    if (ExtractThemeFile(1) != 0) {
      failure |= 2;
    } else {
      panelExtracted = true;
      QFile f(QStringLiteral("panel.xml"));
      // An unreadable or malformed panel.xml only leaves the LED data unset.
      if (f.open(QIODevice::ReadOnly | QIODevice::Text)) keyporter::parse_panel_xml(f.readAll(), leds);
    }
  }

  if (failure == 1) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Remoter Key"));
  if (failure == 2) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Panel"));
  if (failure == 3) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support"));
  ui->btnSaveAs->setEnabled(failure == 0);
}

void PortBench::OpenDst() {
  if (!library) return;
  const QString path = askOpenFileName(QStringLiteral("Import to"));
  if (path.isEmpty()) return;
  ui->edtPathDst->setText(path);
  releaseImage(dstImage);
  dstImage = flash_load_bin(path.toUtf8().constData());
}

bool PortBench::patchDestinationLoader() {
  const QString name = QStringLiteral("bt.bin");
  QFile::remove(name);
  flash_partition_dump(dstImage, "BOOT", "bt.bin");
  QFile f(name);
  std::vector<uint8_t> boot;
  // No dump (no BOOT partition) must not turn into a new empty file here.
  if (QFile::exists(name) && f.open(QIODevice::ReadWrite)) boot = read_whole(f);

  const keyporter::PanelLeds* glyphs = leds.value_found ? &leds : nullptr;
  if (!f.isOpen() || keyporter::patch_boot(boot, loaderKeys, glyphs) != keyporter::PatchResult::ok) {
    showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
    return false;
  }
  bool ok =
      f.seek(0) && f.write(reinterpret_cast<const char*>(boot.data()), qint64(boot.size())) == qint64(boot.size());
  f.close();
  if (!ok) showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
  return ok;
}

bool PortBench::carryOver() {
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
    if (flash_add(dstImage, theme.destination, theme.local) <= 0) {
      showCritical(QStringLiteral("Import"),
                   kind == 0 ? QStringLiteral("Not Support Remoter Key") : QStringLiteral("Not Support Panel"));
      return false;
    }
  }

  if (loaderBlockFound) {
    if (flash_update_f(dstImage, "BOOT", "bt.bin") != 0) {
      showCritical(QStringLiteral("Import"), QStringLiteral("Not Support Bin"));
      return false;
    }
    QFile::remove(QStringLiteral("bt.bin"));
  }
  return true;
}

void PortBench::SaveAs() {
  if (!library) return;
  if (!srcImage) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Set Import from"));
    return;
  }
  if (!dstImage) {
    showInformation(QStringLiteral("Error"), QStringLiteral("Set Import to"));
    return;
  }
  const QString path = askSaveFileName(QStringLiteral("Save As ..."));
  if (path.isEmpty()) return;
  if (!carryOver()) return;

  int result = flash_save(dstImage, path.toUtf8().constData(), 0);
  if (result == 0)
    showInformation(QStringLiteral("Save"), QStringLiteral("Success"));
  else
    showCritical(QStringLiteral("Save"), QStringLiteral("Save Failed"));
  QFile::remove(QStringLiteral("table.bin"));
}

void PortBench::ToolExit() { close(); }

void PortBench::closeEvent(QCloseEvent* event) {
  for (const char* name : {"keymap.xml", "panel.xml", "table.bin", "bt.bin", "loader.bin"})
    QFile::remove(QLatin1String(name));
  releaseImage(srcImage);
  releaseImage(dstImage);
  if (library) {
    library->unload();
    library.reset();
  }
  flash_free = nullptr;
  event->accept();
}
