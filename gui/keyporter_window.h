// The KeyPorter main window: carries key map, panel file and boot-loader key
// and LED data from a source flash image into a destination image.
#pragma once
#include <QLibrary>
#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "import_logic.h"
#include "library_api.h"
#include "workdir.h"

namespace Ui {
class KeyPorterWindowClass;
}

class KeyPorterWindow : public QMainWindow {
  Q_OBJECT

 public:
  // `library_path` empty: the library is looked for beside the program, then
  // through the system search.
  explicit KeyPorterWindow(QWidget* parent = nullptr, const QString& library_path = QString());
  ~KeyPorterWindow() override;

  bool libraryLoaded() const { return library != nullptr; }
  // The private folder that holds the working files; empty once the window
  // has closed (it is removed then) or when it could not be made.
  QString workFolder() const { return work->path(); }
  // Why the window cannot work (shown in a box once it is up); empty if it can.
  const QString& startProblem() const { return startProblem_; }

  // One theme file of the source into its working file (kind 0 key map,
  // 1 panel). 0 on success, -1 when the source has none, -2 when the file
  // could not be written (reason in writeError).
  int ExtractThemeFile(int kind);

 public slots:
  void OpenSrc();
  void OpenDst();
  void SaveAs();
  void ToolExit();

 protected:
  void closeEvent(QCloseEvent* event) override;

  // Dialogs and message boxes go through these so that the flow can run
  // without a person at the screen.
  virtual QString askOpenFileName(const QString& caption);
  virtual QString askSaveFileName(const QString& caption);
  virtual void showInformation(const QString& title, const QString& text);
  virtual void showCritical(const QString& title, const QString& text);

 private:
  QString bindLibrary(const QString& library_path);  // empty, or what is wrong
  void disableAllButExit();
  void fillContactArea();
  // Enters the working folder for library calls; tells the user (box titled
  // `title`) and gives false when it cannot be used.
  bool enterWorkDir(const QString& title, std::optional<keyporter::ScopedChdir>& in);
  // flash_load_bin on `path`, with the refusal shown; null when refused.
  flash* loadImage(const QString& path);
  // flash_last_error as a string ("" when the library gives none).
  std::string lastError(flash* image) const;
  void releaseImage(flash*& image);
  bool carryOver();  // SaveAs step: false when the destination was refused
  bool patchDestinationLoader();

  std::unique_ptr<Ui::KeyPorterWindowClass> ui;
  std::unique_ptr<keyporter::WorkDir> work;
  QString startProblem_;
  QString writeError;  // set when ExtractThemeFile could not write its file
  std::unique_ptr<QLibrary> library;
  keyporter::flash_load_bin_fn flash_load_bin = nullptr;
  keyporter::flash_save_fn flash_save = nullptr;
  keyporter::flash_read_fn flash_read = nullptr;
  keyporter::flash_rm_fn flash_rm = nullptr;
  keyporter::flash_add_fn flash_add = nullptr;
  keyporter::flash_partition_dump_fn flash_partition_dump = nullptr;
  keyporter::flash_update_f_fn flash_update_f = nullptr;
  keyporter::flash_last_error_fn flash_last_error = nullptr;
  keyporter::flash_free_fn flash_free = nullptr;  // optional: releases replaced images
  flash* srcImage = nullptr;
  flash* dstImage = nullptr;
  keyporter::PanelLeds leds;         // ledSegments, ledConverse, ledValueFound
  keyporter::LoaderKeys loaderKeys;  // loaderBlock, loaderKeyCodes
  bool loaderBlockFound = false;
  // Which working files hold the current source's data: a file left by an
  // earlier source, or never extracted, must not reach the destination.
  bool keymapExtracted = false;
  bool panelExtracted = false;
  int themePathIndex = 0;
};
