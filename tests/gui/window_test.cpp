// The KeyPorterWindow window driven through its slots, bound to a stand-in library
// (fake_romsmith.cpp) and, where the real library can do the job, to it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLibrary>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <cerrno>
#include <map>
#include <set>
#include <string>

#include "boot_fixture.h"
#include "gui_app.h"
#include "keyporter_window.h"
#include "testutil.h"

using guitest::app;
using guitest::get_le32;
using guitest::kBlockAt;
using guitest::kMarkerAt;
using guitest::make_boot;

// Qt 5's offscreen platform plugin never frees its screen objects.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libqoffscreen.so\n";
}

namespace {

using Items = std::map<std::string, std::string>;

// Keeps the stand-in loaded for the whole run so its counters survive windows.
QLibrary& fake() {
  static QLibrary lib(QStringLiteral(FAKE_LIB));
  if (!lib.isLoaded()) lib.load();
  return lib;
}

int live_images() { return reinterpret_cast<int (*)()>(fake().resolve("fake_live_images"))(); }
std::string take_read_log() { return reinterpret_cast<const char* (*)()>(fake().resolve("fake_take_read_log"))(); }

void write_fake(const std::string& path, const Items& items) {
  std::string out = "FAKEIMG\n";
  for (auto& [k, v] : items) out += k + "\n" + std::to_string(v.size()) + "\n" + v;
  rstest::write_text(path, out);
}

Items read_fake(const std::string& path) {
  std::string all = rstest::read_text(path);
  Items items;
  size_t pos = 8;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos), nl2 = all.find('\n', nl + 1);
    size_t len = std::stoul(all.substr(nl + 1, nl2 - nl - 1));
    items[all.substr(pos, nl - pos)] = all.substr(nl2 + 1, len);
    pos = nl2 + 1 + len;
  }
  return items;
}

std::string str(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }
std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

const char kKeymap[] = "ROOT//dvb/theme/keymap.xml";
const char kPanel[] = "ROOT//dvb/theme/panel.xml";
const char kPanelXml[] =
    "<config><group name=\"led converse\"><c value=\"0\"/></group><group name=\"led value\">"
    "<b name=\"BIT_A\">01</b><b name=\"BIT_C\">04</b><b name=\"BIT_D\">08</b><b name=\"BIT_E\">10</b>"
    "<b name=\"BIT_G\">40</b></group></config>";

// Answers dialogs from a script and records message boxes.
class ScriptedWindow : public KeyPorterWindow {
 public:
  using KeyPorterWindow::KeyPorterWindow;
  QStringList answers;
  QStringList captions;
  QStringList boxes;  // "kind|title|text"

 protected:
  QString askOpenFileName(const QString& caption) override { return answer(caption); }
  QString askSaveFileName(const QString& caption) override { return answer(caption); }
  void showInformation(const QString& t, const QString& x) override { boxes << "info|" + t + "|" + x; }
  void showCritical(const QString& t, const QString& x) override { boxes << "critical|" + t + "|" + x; }

 private:
  QString answer(const QString& caption) {
    captions << caption;
    return answers.isEmpty() ? QString() : answers.takeFirst();
  }
};

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    ASSERT_TRUE(fake().isLoaded()) << fake().errorString().toStdString();
    cwd = std::make_unique<rstest::ScopedCwd>(dir.path());
    src_boot = make_boot({0x00FF12ED, 0x00FF1AE5, 0x00FF1EE1}, 0x50);
    dst_boot = make_boot({0xD1, 0xD2, 0xD3, 0xD4, 0xD5}, 0x10);
    write_fake(dir.file("src.bin"), {{kKeymap, "<keymap src/>"}, {kPanel, kPanelXml}, {"BOOT", str(src_boot)}});
    write_fake(
        dir.file("dst.bin"),
        {{kKeymap, "<keymap dst/>"}, {kPanel, "<config/>"}, {"BOOT", str(dst_boot)}, {"KERNEL", "kernel bytes"}});
    bench = std::make_unique<ScriptedWindow>(nullptr, QStringLiteral(FAKE_LIB));
    ASSERT_TRUE(bench->libraryLoaded());
    take_read_log();
  }
  void TearDown() override {
    bench.reset();
    cwd.reset();
  }

  QString path(const char* name) { return QString::fromStdString(dir.file(name)); }
  QCheckBox* check(const char* name) { return bench->findChild<QCheckBox*>(name); }
  QPushButton* button(const char* name) { return bench->findChild<QPushButton*>(name); }

  void open(const char* src, const char* dst) {
    bench->answers << path(src);
    bench->OpenSrc();
    if (dst) {
      bench->answers << path(dst);
      bench->OpenDst();
    }
  }
  void save(const char* out) {
    bench->answers << path(out);
    bench->SaveAs();
  }

  rstest::TempDir dir;
  std::unique_ptr<rstest::ScopedCwd> cwd;
  std::vector<uint8_t> src_boot, dst_boot;
  std::unique_ptr<ScriptedWindow> bench;
};

TEST_F(Window, FormMatchesTheLayout) {
  EXPECT_EQ(bench->objectName(), "KeyPorterWindowClass");
  EXPECT_EQ(bench->windowTitle(), "KeyPorter - V1.1");
  EXPECT_EQ(bench->minimumSize(), QSize(460, 188));
  EXPECT_EQ(bench->maximumSize(), QSize(460, 16777215));
  EXPECT_EQ(bench->size(), QSize(460, 311));
  struct W {
    const char* name;
    const char* cls;
    QString text;
    QRect geometry;
  };
  const W widgets[] = {
      {"label", "QLabel", "Import from", {20, 30, 71, 16}},
      {"edtPathSrc", "QLineEdit", "", {90, 30, 261, 20}},
      {"btnOpenSrc", "QPushButton", "Browse", {360, 30, 75, 21}},
      {"label_2", "QLabel", "Import to", {20, 60, 54, 12}},
      {"edtPathDst", "QLineEdit", "", {90, 60, 261, 20}},
      {"btnOpenDst", "QPushButton", "Browse", {360, 60, 75, 23}},
      {"chkKeymap", "QCheckBox", "Remote Key", {40, 100, 91, 16}},
      {"chkPanel", "QCheckBox", "Panel(LED,KEY)", {220, 100, 111, 16}},
      {"btnSaveAs", "QPushButton", "Import", {80, 140, 75, 23}},
      {"btnExit", "QPushButton", "Exit", {280, 140, 75, 23}},
      {"groupBox", "QGroupBox", "", {10, 180, 441, 121}},
      {"label_3", "QLabel", "", {30, 10, 31, 31}},
  };
  for (const W& w : widgets) {
    QWidget* widget = bench->findChild<QWidget*>(w.name);
    ASSERT_TRUE(widget) << w.name;
    EXPECT_STREQ(widget->metaObject()->className(), w.cls) << w.name;
    EXPECT_EQ(widget->geometry(), w.geometry) << w.name;
    QString text = widget->property(qobject_cast<QGroupBox*>(widget) ? "title" : "text").toString();
    EXPECT_EQ(text, w.text) << w.name;
  }
  EXPECT_FALSE(bench->findChild<QLabel*>("label_3")->pixmap(Qt::ReturnByValue).isNull());  // compiled in
  const QMetaObject* meta = &KeyPorterWindow::staticMetaObject;
  QStringList names;
  for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) names << meta->method(i).name();
  EXPECT_EQ(names.join(QLatin1Char(0x2C)).toStdString(), "OpenSrc,OpenDst,SaveAs,ToolExit");
  EXPECT_TRUE(check("chkKeymap")->isChecked());
  EXPECT_TRUE(check("chkPanel")->isChecked());
  // Tab order.
  QStringList order;
  QWidget* w = bench->findChild<QWidget*>("edtPathSrc");
  for (int i = 0; order.size() < 8 && i < 100; ++i, w = w->nextInFocusChain())
    if (w->focusPolicy() & Qt::TabFocus) order << w->objectName();
  EXPECT_EQ(order.join(QLatin1Char(0x2C)).toStdString(),
            "edtPathSrc,btnOpenSrc,edtPathDst,btnOpenDst,chkKeymap,chkPanel,btnSaveAs,btnExit");
}

// The contact area names this project and its README link leads to the real
// file; no placeholder address is left anywhere in it.
TEST_F(Window, ContactAreaLinksTheReadme) {
  auto* group = bench->findChild<QGroupBox*>("groupBox");
  QString all;
  for (QLabel* l : group->findChildren<QLabel*>()) all += l->text() + QLatin1Char('\n');
  EXPECT_TRUE(all.contains("romsmith")) << all.toStdString();
  EXPECT_FALSE(all.contains("example.org")) << all.toStdString();
  EXPECT_FALSE(all.contains("555")) << all.toStdString();

  auto* link = bench->findChild<QLabel*>("label_7");
  EXPECT_TRUE(link->openExternalLinks());
  QRegularExpressionMatch m = QRegularExpression("href=\"([^\"]+)\"").match(link->text());
  ASSERT_TRUE(m.hasMatch()) << link->text().toStdString();
  const QString readme = QUrl(m.captured(1)).toLocalFile();
  EXPECT_EQ(QFileInfo(readme).canonicalFilePath(), QFileInfo(ROMSMITH_SOURCE_DIR "/README.md").canonicalFilePath());
  EXPECT_TRUE(rstest::read_text(readme.toStdString()).rfind("# romsmith", 0) == 0);
  EXPECT_TRUE(bench->findChild<QLabel*>("label_8")->text().contains(QStringLiteral(FAKE_LIB)));
}

TEST_F(Window, CarriesKeymapPanelAndBootLoader) {
  open("src.bin", "dst.bin");
  EXPECT_EQ(bench->captions.join(','), "Import from,Import to");
  EXPECT_TRUE(bench->boxes.isEmpty()) << bench->boxes.join('\n').toStdString();
  EXPECT_EQ(bench->findChild<QLineEdit*>("edtPathSrc")->text(), path("src.bin"));
  const QString work = bench->workFolder();
  ASSERT_FALSE(work.isEmpty());
  EXPECT_FALSE(QFile::exists(work + "/loader.bin"));  // read, then deleted
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n'), "info|Save|Success");
  EXPECT_FALSE(QFile::exists(work + "/table.bin"));
  EXPECT_FALSE(QFile::exists(work + "/bt.bin"));

  Items out = read_fake(dir.file("out.bin"));
  EXPECT_EQ(out[kKeymap], "<keymap src/>");
  EXPECT_EQ(out[kPanel], kPanelXml);
  EXPECT_EQ(out["KERNEL"], "kernel bytes");
  auto boot = bytes(out["BOOT"]);
  ASSERT_EQ(boot.size(), dst_boot.size());
  EXPECT_TRUE(std::equal(boot.begin() + kBlockAt, boot.begin() + kBlockAt + 132, src_boot.begin() + kBlockAt));
  EXPECT_EQ(get_le32(boot, kBlockAt + 132 + 8), 0x00FF1EE1u);
  EXPECT_EQ(get_le32(boot, kBlockAt + 132 + 12), 0x0000FFFFu);  // the destination's 4th code is gone
  EXPECT_EQ(boot[kMarkerAt + 57], 0x5C);
  EXPECT_EQ(boot[kMarkerAt + 53], 0x54);

  // A second save writes the same image again.
  save("out2.bin");
  EXPECT_EQ(read_fake(dir.file("out2.bin")), out);

  bench->ToolExit();
  EXPECT_FALSE(QFileInfo::exists(work));  // the working folder goes with the window
  EXPECT_EQ(live_images(), 0);            // both images released at close
}

TEST_F(Window, SaveNeedsSourceBeforeDestination) {
  save("out.bin");
  bench->answers.clear();  // the save dialog was never reached
  bench->answers << path("dst.bin");
  bench->OpenDst();
  save("out.bin");
  bench->answers.clear();
  bench->answers << path("src.bin");
  bench->OpenSrc();
  bench->answers << path("missing.bin");
  bench->OpenDst();  // an image that cannot be loaded leaves no destination
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n').toStdString(),
            "info|Error|Set Import from\ninfo|Error|Set Import from\ncritical|Import|Cannot open " +
                dir.file("missing.bin") + ": No such file or directory\ninfo|Error|Set Import to");
  EXPECT_EQ(bench->findChild<QLineEdit*>("edtPathDst")->text(), path("missing.bin"));
  EXPECT_FALSE(QFile::exists(path("out.bin")));
}

TEST_F(Window, CancelledDialogsChangeNothing) {
  bench->OpenSrc();
  bench->OpenDst();
  EXPECT_TRUE(bench->findChild<QLineEdit*>("edtPathSrc")->text().isEmpty());
  open("src.bin", "dst.bin");
  bench->SaveAs();  // cancelled save dialog
  bench->OpenSrc();
  bench->OpenDst();
  EXPECT_EQ(bench->findChild<QLineEdit*>("edtPathSrc")->text(), path("src.bin"));
  EXPECT_TRUE(bench->boxes.isEmpty());
  EXPECT_EQ(live_images(), 2);
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n'), "info|Save|Success");
}

TEST_F(Window, NoItemChosenKeepsThePreviousSource) {
  open("src.bin", "dst.bin");
  check("chkKeymap")->setChecked(false);
  check("chkPanel")->setChecked(false);
  bench->answers << path("dst.bin");
  bench->OpenSrc();
  EXPECT_EQ(bench->boxes.join('\n'), "info|Error|Remote Key or Panel,select at least one.");
  EXPECT_EQ(bench->findChild<QLineEdit*>("edtPathSrc")->text(), path("src.bin"));
}

struct MissingCase {
  bool keymap, panel;
  const char* box;
};

class MissingTheme : public Window, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingTheme, ReportedAndSaveDisabled) {
  Items src{{"BOOT", str(src_boot)}};
  if (!GetParam().keymap) src[kKeymap] = "<k/>";
  if (!GetParam().panel) src[kPanel] = kPanelXml;
  write_fake(dir.file("partial.bin"), src);
  open("partial.bin", nullptr);
  EXPECT_EQ(bench->boxes.join('\n').toStdString(), GetParam().box);
  EXPECT_FALSE(button("btnSaveAs")->isEnabled());
  bench->boxes.clear();
  open("src.bin", nullptr);  // a good source enables it again
  EXPECT_TRUE(button("btnSaveAs")->isEnabled());
  EXPECT_TRUE(bench->boxes.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingTheme,
                         ::testing::Values(MissingCase{true, false, "critical|Import|Not Support Remoter Key"},
                                           MissingCase{false, true, "critical|Import|Not Support Panel"},
                                           MissingCase{true, true, "critical|Import|Not Support"}));

TEST_F(Window, ThemeLocationThatServedIsTriedFirst) {
  write_fake(dir.file("theme.bin"), {{"THEME//theme/keymap.xml", "<k theme/>"}, {"THEME//theme/panel.xml", kPanelXml}});
  open("theme.bin", nullptr);
  EXPECT_TRUE(bench->boxes.isEmpty());
  EXPECT_EQ(take_read_log(), "ROOT//dvb/theme/keymap.xml;THEME//theme/keymap.xml;THEME//theme/panel.xml;");
  EXPECT_EQ(rstest::read_text(bench->workFolder().toStdString() + "/keymap.xml"), "<k theme/>");
  open("src.bin", "dst.bin");
  EXPECT_EQ(take_read_log(), "THEME//theme/keymap.xml;ROOT//dvb/theme/keymap.xml;ROOT//dvb/theme/panel.xml;");
  save("out.bin");
  EXPECT_EQ(read_fake(dir.file("out.bin"))[kKeymap], "<keymap src/>");
}

TEST_F(Window, RemoteKeyOnlyStillCarriesTheLoaderBlock) {
  check("chkPanel")->setChecked(false);
  open("src.bin", "dst.bin");
  EXPECT_FALSE(QFile::exists("panel.xml"));
  save("out.bin");
  Items out = read_fake(dir.file("out.bin"));
  EXPECT_EQ(out[kPanel], "<config/>");
  EXPECT_EQ(out[kKeymap], "<keymap src/>");
  auto boot = bytes(out["BOOT"]);
  EXPECT_EQ(get_le32(boot, kBlockAt + 132), 0x00FF12EDu);
  EXPECT_EQ(boot[kMarkerAt + 57], 0x00);  // no panel.xml read: glyphs untouched
}

TEST_F(Window, ItemCheckedAfterOpeningIsRefused) {
  check("chkPanel")->setChecked(false);
  open("src.bin", "dst.bin");
  check("chkPanel")->setChecked(true);
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n'), "info|Error|Set Import from");
  EXPECT_FALSE(QFile::exists(path("out.bin")));
}

TEST_F(Window, RefusedDestinationBootLoaderSavesNothing) {
  auto bad = dst_boot;
  bad[kMarkerAt + 76] = 0x00;  // glyph table end word
  write_fake(dir.file("bad.bin"), {{kKeymap, "<keymap dst/>"}, {kPanel, "<config/>"}, {"BOOT", str(bad)}});
  open("src.bin", "bad.bin");
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n'), "critical|Import|Not Support Bin");
  EXPECT_FALSE(QFile::exists(path("out.bin")));
  // Without LED data the same boot loader is fine.
  check("chkPanel")->setChecked(false);
  open("src.bin", "bad.bin");
  bench->boxes.clear();
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n'), "info|Save|Success");
}

TEST_F(Window, SourceWithoutLoaderBlockLeavesBootAlone) {
  auto plain = src_boot;
  plain[kBlockAt + 130] = 0x00;
  write_fake(dir.file("plain.bin"), {{kKeymap, "<k/>"}, {kPanel, kPanelXml}, {"BOOT", str(plain)}});
  open("plain.bin", "dst.bin");
  save("out.bin");
  EXPECT_EQ(read_fake(dir.file("out.bin"))["BOOT"], str(dst_boot));
}

TEST_F(Window, FailuresAreNeverReportedAsSuccess) {
  write_fake(dir.file("nosave.bin"),
             {{kKeymap, "<k/>"}, {kPanel, "<config/>"}, {"BOOT", str(dst_boot)}, {"!fail_save", ""}});
  write_fake(dir.file("noadd.bin"), {{"BOOT", str(dst_boot)}, {"!refuse_add", ""}});
  open("src.bin", "nosave.bin");
  save("out.bin");
  bench->answers << path("noadd.bin");
  bench->OpenDst();
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n').toStdString(), "critical|Save|Save Failed\n" + dir.file("out.bin") +
                                                       "\nno reason given\ncritical|Import|Not Support Remoter Key");
  EXPECT_FALSE(QFile::exists(path("out.bin")));
}

// "Save Failed" keeps its text and says which file and why, in the library's
// words (flash_last_error, not what it printed).
TEST_F(Window, SaveFailedNamesFileAndReason) {
  open("src.bin", "dst.bin");
  save("no/such/dir/out.bin");
  EXPECT_EQ(bench->boxes.join('\n').toStdString(), "critical|Save|Save Failed\n" + dir.file("no/such/dir/out.bin") +
                                                       "\nfake: cannot write " + dir.file("no/such/dir/out.bin") +
                                                       ": No such file or directory");
}

// A message an earlier call left on the image (here the removal of theme
// files the destination lacks) is not passed off as the save's reason.
TEST_F(Window, EarlierFailureIsNotTheSavesReason) {
  write_fake(dir.file("bare.bin"), {{"BOOT", str(dst_boot)}, {"!fail_save", ""}});
  open("src.bin", "bare.bin");
  save("out.bin");
  EXPECT_EQ(bench->boxes.join('\n').toStdString(),
            "critical|Save|Save Failed\n" + dir.file("out.bin") + "\nno reason given");
}

TEST(FailureReason, TheCallsOwnMessageElseErrno) {
  using keyporter::failure_reason;
  struct Case {
    const char* before;
    const char* message;
    int err;
    const char* want;
  } const cases[] = {
      {"", "error: Permission denied\n", 0, "Permission denied"},
      {"", "cannot write /x: No space left on device", EIO, "cannot write /x: No space left on device"},
      {"rm A/b: No such file or directory", "rm A/b: No such file or directory", ENOSPC, "No space left on device"},
      {"", "", ENOSPC, "No space left on device"},
      {"old", "old", 0, "no reason given"},
      {"", "error: ", 0, "no reason given"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure_reason(c.before, c.message, c.err).toStdString(), c.want) << c.message;
}

// Anything that is not an image is refused when it is chosen, on either side,
// and what cannot even be opened says why instead of blaming the format.
struct Unloadable {
  bool source;
  const char* file;
  const char* box;  // with the chosen path in place of %1
};

class RefusedAtOnce : public Window, public ::testing::WithParamInterface<Unloadable> {};

TEST_P(RefusedAtOnce, WithItsMessage) {
  rstest::write_text(dir.file("junk.bin"), "not an image");
  const Unloadable& c = GetParam();
  if (c.source) {
    bench->answers << path(c.file);
    bench->OpenSrc();
  } else {
    open("src.bin", nullptr);
    bench->answers << path(c.file);
    bench->OpenDst();
  }
  EXPECT_EQ(bench->boxes.join('\n'), QString::fromLatin1(c.box).arg(path(c.file)));
  EXPECT_EQ(bench->findChild<QLineEdit*>(c.source ? "edtPathSrc" : "edtPathDst")->text(), path(c.file));
  EXPECT_EQ(button("btnSaveAs")->isEnabled(), !c.source);
  bench->boxes.clear();
  save("out.bin");  // no image on that side
  EXPECT_EQ(bench->boxes.join('\n'), c.source ? "info|Error|Set Import from" : "info|Error|Set Import to");
  EXPECT_EQ(live_images(), c.source ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedAtOnce,
    ::testing::Values(Unloadable{true, "junk.bin", "critical|Import|Not Support Bin\n%1\nfake: no image in %1"},
                      Unloadable{false, "junk.bin", "critical|Import|Not Support Bin\n%1\nfake: no image in %1"},
                      Unloadable{false, "missing.bin", "critical|Import|Cannot open %1: No such file or directory"}));

// Files of the user's that share the working files' names, in the folder the
// program was started from.
const std::map<std::string, std::string> kUserFiles = {{"keymap.xml", "<user keymap/>"},
                                                       {"panel.xml", "<user panel/>"},
                                                       {"table.bin", "user table"},
                                                       {"loader.bin", "user loader"},
                                                       {"bt.bin", "user bt"}};

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const QString& n : QDir(QString::fromStdString(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
    names.insert(n.toStdString());
  return names;
}

TEST_F(Window, UserFilesInTheStartFolderSurvive) {
  for (auto& [name, text] : kUserFiles) rstest::write_text(dir.file(name), text);
  std::set<std::string> before = listing(dir.path());

  // Started and closed with nothing done.
  bench->ToolExit();
  EXPECT_EQ(listing(dir.path()), before);

  // A whole import, the user's table.bin also given as the save target's
  // neighbour and the source read from the same folder.
  auto second = std::make_unique<ScriptedWindow>(nullptr, QStringLiteral(FAKE_LIB));
  const QString work = second->workFolder();
  ASSERT_FALSE(work.isEmpty());
  EXPECT_FALSE(work.startsWith(path("")));
  second->answers << path("src.bin") << path("dst.bin") << path("out.bin");
  second->OpenSrc();
  second->OpenDst();
  second->SaveAs();
  EXPECT_EQ(second->boxes.join('\n'), "info|Save|Success");
  EXPECT_EQ(read_fake(dir.file("out.bin"))[kKeymap], "<keymap src/>");
  second->ToolExit();
  EXPECT_FALSE(QFileInfo::exists(work));

  before.insert("out.bin");
  EXPECT_EQ(listing(dir.path()), before);
  for (auto& [name, text] : kUserFiles) EXPECT_EQ(rstest::read_text(dir.file(name)), text) << name;
}

TEST_F(Window, WorkingFolderThatGoesAwayIsReportedAsSuch) {
  const QString work = bench->workFolder();
  ASSERT_TRUE(QDir(work).removeRecursively());
  open("src.bin", nullptr);
  EXPECT_EQ(bench->boxes.join('\n'),
            "critical|Import|KeyPorter's working folder " + work + " cannot be used: No such file or directory");
  EXPECT_TRUE(bench->findChild<QLineEdit*>("edtPathSrc")->text().isEmpty());  // nothing was done
  EXPECT_EQ(live_images(), 0);
  EXPECT_FALSE(QFile::exists(path("keymap.xml")));
}

// What the window says and leaves usable when it cannot work at all.
class Crippled : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    cwd = std::make_unique<rstest::ScopedCwd>(dir.path());
  }
  // Only Exit is enabled, and Exit still closes the window.
  void expectOnlyExit(ScriptedWindow& bench) {
    bench.show();
    for (QPushButton* b : bench.findChildren<QPushButton*>())
      EXPECT_EQ(b->isEnabled(), b->objectName() == "btnExit") << b->objectName().toStdString();
    for (const char* name : {"chkKeymap", "chkPanel", "edtPathSrc", "edtPathDst"})
      EXPECT_FALSE(bench.findChild<QWidget*>(name)->isEnabled()) << name;
    bench.findChild<QPushButton*>("btnExit")->click();
    EXPECT_FALSE(bench.isVisible());
    EXPECT_TRUE(bench.captions.isEmpty());
  }
  rstest::TempDir dir;
  std::unique_ptr<rstest::ScopedCwd> cwd;
};

TEST_F(Crippled, MissingLibraryIsNamed) {
  ScriptedWindow bench(nullptr, QStringLiteral("/nonexistent/libromsmith.so"));
  EXPECT_FALSE(bench.libraryLoaded());
  QApplication::processEvents();
  ASSERT_EQ(bench.boxes.size(), 1);
  const QString box = bench.boxes[0];
  EXPECT_TRUE(
      box.startsWith("critical|KeyPorter|KeyPorter cannot work without a complete image library "
                     "libromsmith.so.\n"))
      << box.toStdString();
  EXPECT_TRUE(box.contains("/nonexistent/libromsmith.so")) << box.toStdString();
  EXPECT_TRUE(box.contains("No such file or directory")) << box.toStdString();
  EXPECT_EQ(bench.findChild<QLabel*>("label_8")->text(), "Library: not loaded");
  expectOnlyExit(bench);
}

struct Incomplete {
  const char* library;
  const char* lacks;
};

class IncompleteLibrary : public Crippled, public ::testing::WithParamInterface<Incomplete> {};

TEST_P(IncompleteLibrary, NamesWhatIsMissing) {
  ScriptedWindow bench(nullptr, QString::fromLatin1(GetParam().library));
  EXPECT_FALSE(bench.libraryLoaded());
  QApplication::processEvents();
  ASSERT_EQ(bench.boxes.size(), 1);
  EXPECT_TRUE(bench.boxes[0].endsWith(QString::fromLatin1(GetParam().library) + " lacks " + GetParam().lacks))
      << bench.boxes[0].toStdString();
  expectOnlyExit(bench);
}

INSTANTIATE_TEST_SUITE_P(Exports, IncompleteLibrary,
                         ::testing::Values(Incomplete{PARTIAL_LIB, "flash_update_f"},
                                           Incomplete{NO_LAST_ERROR_LIB, "flash_last_error"}));

TEST_F(Crippled, WorkingFolderThatCannotBeMadeIsNamed) {
  const QByteArray saved = qgetenv("TMPDIR");
  qputenv("TMPDIR", QByteArray::fromStdString(dir.file("no-such-tmp")));
  ScriptedWindow bench(nullptr, QStringLiteral(FAKE_LIB));
  qputenv("TMPDIR", saved);
  if (saved.isEmpty()) qunsetenv("TMPDIR");
  QApplication::processEvents();
  EXPECT_EQ(bench.boxes.join('\n').toStdString(), "critical|KeyPorter|KeyPorter cannot create its working folder in " +
                                                      dir.file("no-such-tmp") + ": No such file or directory");
  expectOnlyExit(bench);
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{});
}

}  // namespace
