// The window's activity slide, its three ways of choosing a HEX file and its
// Settings.ini, on a recording view in virtual time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/form/ini_file.h"
#include "tests/app/form_rig.h"

namespace ql::test {
namespace {

namespace fs = std::filesystem;
using V = std::vector<std::string>;

// ---- The activity panel's slide -------------------------------------------------

TEST(FormSlide, WidthsTickByTickAndTheStripColour) {
  FormRig r;
  auto width = [&] { return r.view.widths.back(); };
  auto ticks = [&](int n) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) {
      r.Run(15);
      out.push_back(width());
    }
    return out;
  };
  const std::vector<Rgb> activity{kActivityColour};
  EXPECT_TRUE(r.view.strip_colours.empty());

  r.Click(Control::AdvGlowButton1);
  EXPECT_EQ(r.view.Caption(Control::AdvGlowButton1), "Hide Activity");
  EXPECT_EQ(r.view.strip_colours, activity);  // at once
  r.Run(14);
  EXPECT_EQ(r.view.widths.size(), 1u);  // a full 15 ms to the first tick
  EXPECT_EQ(ticks(11), (std::vector<int>{509, 529, 549, 569, 589, 609, 629, 649, 669, 682, 682}));
  EXPECT_EQ(r.view.widths.size(), 11u);  // the timer stopped at the full width
  EXPECT_EQ(r.form->Width(), 682);

  r.Click(Control::AdvGlowButton1);
  EXPECT_EQ(r.view.Caption(Control::AdvGlowButton1), "Show Activity");
  EXPECT_EQ(ticks(9), (std::vector<int>{662, 642, 622, 602, 582, 562, 542, 522, 502}));
  EXPECT_EQ(r.view.strip_colours, activity);  // not before the last tick
  EXPECT_EQ(ticks(1), std::vector<int>{489});
  EXPECT_EQ(r.view.strip_colours, (std::vector<Rgb>{kActivityColour, kGroupColour}));
  const std::size_t calls = r.view.widths.size();
  r.Run(100);
  EXPECT_EQ(r.view.widths.size(), calls);

  // A click during a slide reverses it from where it is, a full tick later.
  r.Click(Control::AdvGlowButton1);
  EXPECT_EQ(ticks(3), (std::vector<int>{509, 529, 549}));
  r.Run(10);
  r.Click(Control::AdvGlowButton1);
  r.Run(14);
  EXPECT_EQ(width(), 549);
  EXPECT_EQ(ticks(4), (std::vector<int>{529, 509, 489, 489}));
  EXPECT_EQ(r.view.strip_colours.back(), kGroupColour);
  EXPECT_EQ(r.view.status_shows, 0);  // nothing to refit: the text is fitted once, when set
}

// ---- Choosing a file ------------------------------------------------------------

TEST(FormFiles, CommandLineFileIsOpenedBeforeTheAttachLine) {
  const auto dir = FormDir();
  const std::string path = WriteHex(dir / "cmd.HEX", Pattern(20, 7));
  WindowOptions o;
  o.command_line_file = path;
  FormRig r(o, false);
  EXPECT_EQ(r.History(), V{"Opened: " + path});  // while the window is created
  EXPECT_EQ(r.view.status_text, Fitted(path, 489));
  r.Show();
  EXPECT_EQ(r.History(), (V{"Opened: " + path, kAttach}));
  EXPECT_EQ(r.form->image().ImageEnd(), 20);
  EXPECT_EQ(r.form->image().family, McuFamily::None);
  EXPECT_EQ(r.form->OpenDialogFileName(), "");  // the dialog's own file name stays
  // The image is not rebuilt when the device reports its family.
  r.Plug("pic18");
  EXPECT_EQ(r.form->image().family, McuFamily::None);
}

TEST(FormFiles, CommandLineIgnoresWhatIsNoHexFile) {
  const auto dir = FormDir();
  WriteHex(dir / "cmd.hex.bak", Pattern(20, 7));
  fs::create_directories(dir / "folder.hex");
  for (const fs::path& arg : {dir / "cmd.hex.bak", dir / "missing.hex", dir / "folder.hex"}) {
    SCOPED_TRACE(Utf8(arg));
    WindowOptions o;
    o.command_line_file = Utf8(arg);
    FormRig r(o);
    EXPECT_EQ(r.History(), V{kAttach});
    EXPECT_EQ(r.view.status_shows, 0);
    EXPECT_EQ(r.view.status_text, ": No files opened.");
    EXPECT_TRUE(r.view.dialogs.empty());
  }
}

// A path too long for the bar loses its leading directories, fitted to the
// window's width when it is set.
TEST(FormFiles, LongPathIsFittedToTheWidthAtThatMoment) {
  const auto dir = FormDir();
  const fs::path deep = dir / "one-long-folder-name-for-the-bar" / "and-a-second-long-folder-name" / "a-third";
  fs::create_directories(deep);
  const std::string path = WriteHex(deep / "deep.hex", Pattern(20, 7));
  const std::string s(1, kSep);
  WindowOptions o;
  o.command_line_file = path;
  FormRig r(o);
  // 80 characters fit in 489 less a "W".
  EXPECT_EQ(r.view.status_text, "..." + s + "and-a-second-long-folder-name" + s + "a-third" + s + "deep.hex");
  EXPECT_EQ(r.form->StatusText(), r.view.status_text);

  // Shown wide, the same file keeps a folder more.
  r.Click(Control::AdvGlowButton1);
  r.Run(300);
  r.form->DropFiles({path});
  EXPECT_EQ(r.view.status_text, "..." + s + "one-long-folder-name-for-the-bar" + s + "and-a-second-long-folder-name" +
                                    s + "a-third" + s + "deep.hex");
}

TEST(FormFiles, BrowseAndDropLineOrders) {
  const auto dir = FormDir();
  FormRig r;
  const std::string good = WriteHex(dir / "good.hex", Pattern(32, 8));
  const std::string bad = WriteHex(dir / "bad.hex", Pattern(32, 9), true);
  const std::string text = WriteText(dir / "notes.txt", HexText(Pattern(32, 8)));

  // A drop needs no connection; the first qualifying file is taken, the others not looked at.
  r.form->DropFiles({text, good, bad});
  EXPECT_EQ(r.History(), (V{kAttach, "Opened: " + good}));
  EXPECT_EQ(r.form->image().ImageEnd(), 32);
  EXPECT_EQ(r.view.status_text, Fitted(good, 489));
  EXPECT_TRUE(r.view.dialogs.empty());
  EXPECT_EQ(r.form->OpenDialogFileName(), "");

  // A dropped file failing its checksum: "Opened:" before the warning.
  r.form->DropFiles({bad});
  EXPECT_EQ(V(r.view.log.end() - 2, r.view.log.end()), (V{"H:Opened: " + bad, "D:ChecksumWarning"}));
  ASSERT_EQ(r.view.Count(Dialog::ChecksumWarning), 1);
  EXPECT_TRUE(r.view.Texts(Dialog::ChecksumWarning)[0].starts_with(
      "CRC check failed. Invalid CRC at line 0 in file 'bad.hex'."));
  EXPECT_TRUE(r.form->image().empty());

  // Browse needs a connection: no dialog without one.
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().back(), "Error: Connect first.");
  EXPECT_TRUE(r.view.browses.empty());

  r.Plug("pic18");
  r.Connect();
  // A missing file, then one that is no ".hex": one line each, the status and image unchanged.
  const std::string missing = Utf8(dir / "nothing.hex");
  r.view.browse_result = missing;
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().back(), "File not found: " + missing);
  r.view.browse_result = text;
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().back(), "File not found: " + text);
  EXPECT_EQ(r.view.status_text, Fitted(bad, 489));
  EXPECT_TRUE(r.form->image().empty());
  // The dialog opens on the last file chosen in it.
  ASSERT_EQ(r.view.browses.size(), 2u);
  EXPECT_EQ(r.view.browses[0].file_name, "");
  EXPECT_EQ(r.view.browses[1].file_name, missing);
  // Cancelled: nothing.
  const std::size_t lines = r.History().size();
  r.view.browse_result.reset();
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().size(), lines);
  EXPECT_EQ(r.form->OpenDialogFileName(), text);

  // A file failing its checksum: the warning first, then "Opened:"; it
  // counts as loaded with an empty image.
  r.form->DropFiles({good});
  r.view.browse_result = bad;
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(V(r.view.log.end() - 3, r.view.log.end()), (V{"D:Browse", "D:ChecksumWarning", "H:Opened: " + bad}));
  EXPECT_EQ(r.view.status_text, Fitted(bad, 489));
  EXPECT_TRUE(r.form->image().empty());
  EXPECT_EQ(r.form->OpenDialogFileName(), bad);
  r.view.browse_result = good;
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().back(), "Opened: " + good);
  EXPECT_EQ(r.form->image().ImageEnd(), 32);
}

// A file the loader cannot convert ends the handler through the general
// error report: Browse and the command line then write no "Opened:" line, a
// drop already has. The status text names the file either way.
TEST(FormFiles, ConversionErrorEndsTheHandler) {
  const auto dir = FormDir();
  const std::string path = WriteText(dir / "broken.hex", ":02000000GG00FE\n:00000001FF\n");
  {
    WindowOptions o;
    o.command_line_file = path;
    FormRig r(o);
    ASSERT_EQ(r.view.Count(Dialog::Error), 1);
    EXPECT_TRUE(r.view.dialogs[0].owned);
    EXPECT_EQ(r.History(), V{kAttach});  // the window still opens
    EXPECT_EQ(r.view.status_text, Fitted(path, 489));
  }
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  const std::size_t before = r.History().size();
  r.view.browse_result = path;
  r.Click(Control::ButtonOpenHex);
  ASSERT_EQ(r.view.Count(Dialog::Error), 1);
  const RecordingFormView::Seen& error = r.view.dialogs.back();
  EXPECT_TRUE(error.owned);
  EXPECT_TRUE(error.text.ends_with('.')) << error.text;
  EXPECT_EQ(r.History().size(), before);
  EXPECT_EQ(r.view.status_text, Fitted(path, 489));

  r.form->DropFiles({path});
  EXPECT_EQ(r.view.Count(Dialog::Error), 2);
  EXPECT_EQ(V(r.view.log.end() - 2, r.view.log.end()), (V{"H:Opened: " + path, "D:Error"}));
}

TEST(FormFiles, CaptionCarriesTheProgramsVersion) {
  FormRig r({}, true, [](RecordingFormView& v) { v.version = ""; });
  EXPECT_EQ(r.view.title, "Quellotron USB HID Bootloader v");
}

// ---- Settings.ini ------------------------------------------------------------------

TEST(FormSettings, AppliedOnFirstShowAndGatheredOnClose) {
  const auto dir = FormDir();
  const std::string path = Utf8(dir / "Settings.ini");
  const std::string last = Utf8(dir / "last.hex");
  std::string hand =
      "; written by hand\n"
      "[Extra]\n"
      "Colour = blue\n"
      "[frmqboot]\n"
      "CheckBoxClose_Checked = yes\n"
      "MyNote=keep me\n"
      "ShowCmd=2\n"
      "NormPos(1920x1080)=300,200,789,557\n"
      "NormPos=10,10,499,367\n";
  hand += "OpenDialog1_InitialDir=" + Utf8(dir) + "\nOpenDialog1_FileName=" + last + "\n";
  WriteText(dir / "Settings.ini", hand);
  WindowOptions o;
  o.settings_path = path;
  FormRig r(o, false);
  EXPECT_TRUE(r.view.moves.empty());  // nothing before the window is shown
  EXPECT_FALSE(r.form->CloseWhenFinished());
  r.Show();
  r.Show();  // only the first show counts
  ASSERT_EQ(r.view.moves.size(), 1u);
  EXPECT_EQ(r.view.moves[0].norm[0], 300);  // the key for this screen's size
  EXPECT_EQ(r.view.moves[0].norm[1], 200);
  EXPECT_EQ(r.view.show_states, std::vector<ShowState>{ShowState::Minimised});
  EXPECT_EQ(r.view.log, (V{"MoveTo", "H:" + kAttach, "GroupLook"}));
  EXPECT_EQ(r.view.widths, std::vector<int>{489});  // always collapsed at start
  EXPECT_TRUE(r.form->CloseWhenFinished());
  r.Plug("pic18");
  r.Connect();
  r.Click(Control::ButtonOpenHex);
  ASSERT_EQ(r.view.browses.size(), 1u);
  EXPECT_EQ(r.view.browses[0].initial_dir, Utf8(dir));
  EXPECT_EQ(r.view.browses[0].file_name, last);

  // Gathered when the close goes ahead, with the placement of that moment.
  r.view.placement = {1, 0, {-1, -1, -1, -1}, {50, 60, 539, 417}};
  ASSERT_TRUE(r.view.RequestClose());
  r.view.placement.norm = {0, 0, 1, 1};
  const IniFile& now = r.form->Settings();
  EXPECT_EQ(now.Read("frmqBoot", "NormPos(1920x1080)"), "50,60,539,417");
  EXPECT_EQ(now.Read("frmqBoot", "ShowCmd"), "1");
  EXPECT_EQ(now.Read("frmqBoot", "CheckBoxClose_Checked"), "TRUE");
  EXPECT_EQ(now.Read("frmqBoot", "MCUComboBox_ItemIndex"), "0");  // the box shows a family
  r.Destroy();

  const IniFile saved = IniFile::Load(path);
  EXPECT_EQ(saved.Read("frmqBoot", "NormPos"), "50,60,539,417");
  EXPECT_EQ(saved.Read("frmqBoot", "FormVersion"), "0");
  EXPECT_EQ(saved.Read("frmqBoot", "OpenDialog1_InitialDir"), Utf8(dir));
  EXPECT_EQ(saved.Read("frmqBoot", "OpenDialog1_FileName"), last);
  EXPECT_EQ(saved.Read("frmqBoot", "MyNote"), "keep me");
  EXPECT_EQ(saved.Read("Extra", "Colour"), "blue");
  EXPECT_EQ(saved.Serialize().find("written by hand"), std::string::npos);
  EXPECT_TRUE(r.view.Texts(Dialog::Error).empty());
}

TEST(FormSettings, FirstRunWritesANewFileInAMissingFolder) {
  const auto dir = FormDir();
  const std::string path = Utf8(dir / "new" / "Settings.ini");
  {
    WindowOptions o;
    o.settings_path = path;
    FormRig r(o);
    EXPECT_TRUE(r.view.moves.empty());
    EXPECT_TRUE(r.view.show_states.empty());
  }
  const IniFile saved = IniFile::Load(path);
  EXPECT_EQ(saved.Read("frmqBoot", "FormVersion"), "0");
  EXPECT_EQ(saved.Read("frmqBoot", "CheckBoxClose_Checked"), "FALSE");
  EXPECT_EQ(saved.Read("frmqBoot", "OpenDialog1_InitialDir"), "");
  EXPECT_EQ(saved.Read("frmqBoot", "OpenDialog1_FileName"), "");
  EXPECT_EQ(saved.Read("frmqBoot", "MCUComboBox_ItemIndex"), "-1");
  EXPECT_EQ(saved.Read("frmqBoot", "NormPos"), "234,120,723,477");  // gathered on destruction
}

TEST(FormSettings, PositionOnlyAtTheSamePixelsPerInch) {
  const auto dir = FormDir();
  for (const int ppi : {96, 120}) {
    SCOPED_TRACE(ppi);
    const fs::path file = dir / ("ppi" + std::to_string(ppi) + ".ini");
    WriteText(file, "[frmqBoot]\nPixelsPerInch=" + std::to_string(ppi) +
                        "\nNormPos=300,200,789,557\nCheckBoxClose_Checked=1\n");
    WindowOptions o;
    o.settings_path = Utf8(file);
    // A screen of another size: the bare key applies.
    FormRig r(o, true, [](RecordingFormView& v) { v.screen = {1280, 1024, 96}; });
    EXPECT_EQ(r.view.moves.size(), ppi == 96 ? 1u : 0u);
    EXPECT_TRUE(r.form->CloseWhenFinished());
  }
}

TEST(FormSettings, ReadOnlyFileIsReadAndNeverChanged) {
  const auto dir = FormDir();
  const fs::path file = dir / "Settings.ini";
  const std::string text = "[frmqBoot]\r\nCheckBoxClose_Checked=TRUE\r\n\r\n";
  WriteText(file, text);
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  {
    WindowOptions o;
    o.settings_path = Utf8(file);
    FormRig r(o);
    EXPECT_TRUE(r.form->CloseWhenFinished());
    r.form->SetCloseWhenFinished(false);
    r.view.RequestClose();
    r.Destroy();
    EXPECT_TRUE(r.view.dialogs.empty());
  }
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

// A save that fails is said once, with no window to own the report.
TEST(FormSettings, NotSavedIsReportedOnce) {
  const auto dir = FormDir();
  const fs::path blocker = dir / "not-a-folder";
  WriteText(blocker, "a file where the folder should be");
  const std::string path = Utf8(blocker / "Settings.ini");
  WindowOptions o;
  o.settings_path = path;
  FormRig r(o);
  r.view.RequestClose();
  EXPECT_TRUE(r.view.dialogs.empty());
  r.Destroy();
  ASSERT_EQ(r.view.dialogs.size(), 1u);
  const RecordingFormView::Seen& error = r.view.dialogs[0];
  EXPECT_EQ(error.kind, Dialog::Error);
  EXPECT_FALSE(error.owned);
  EXPECT_TRUE(error.text.starts_with("The settings could not be saved to \"" + path + "\": ")) << error.text;
  EXPECT_TRUE(error.text.ends_with('.')) << error.text;
}

TEST(FormSettings, ConversionErrorStopsApplying) {
  const auto dir = FormDir();
  const fs::path file = dir / "Settings.ini";
  WriteText(file,
            "[frmqBoot]\r\nFormVersion=0\r\nFlags=x1\r\nNormPos=300,200,789,557\r\nShowCmd=3\r\n"
            "CheckBoxClose_Checked=TRUE\r\n");
  WindowOptions o;
  o.settings_path = Utf8(file);
  FormRig r(o);
  EXPECT_EQ(r.view.Texts(Dialog::Error), V{"'x1' is not a valid integer value."});
  EXPECT_TRUE(r.view.dialogs[0].owned);
  EXPECT_EQ(r.view.log, (V{"D:Error", "H:" + kAttach, "GroupLook"}));  // FormShow still runs
  EXPECT_TRUE(r.view.moves.empty());
  EXPECT_TRUE(r.view.show_states.empty());
  EXPECT_FALSE(r.form->CloseWhenFinished());
}

}  // namespace
}  // namespace ql::test
