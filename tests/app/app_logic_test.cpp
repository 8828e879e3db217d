// The window's parts that need no window: Settings.ini, the stored form
// values, path shortening, the label markup and the error report's full stop.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/form/form_storage.h"
#include "app/form/ini_file.h"
#include "app/qt/markup.h"
#include "app/form/path_fit.h"
#include "app/qt/settings_location.h"
#include "app/form/window_arguments.h"

namespace ql {
namespace {

TEST(IniFile, ReadsLenientlyAndWritesBackInOrderWithCrLf) {
  const std::string text =
      "stray=before any section\n"
      "  [ frmqBoot ]  \n"
      "; a comment\n"
      "FormVersion = 0\n"
      "\n"
      "Custom=kept as is\r\n"
      "formversion=1\n"
      "[Other]\n"
      "A=1=2\n"
      "[FRMQBOOT]\n"
      "Late=x\n";
  const IniFile ini = IniFile::Parse(text);
  // Case-insensitive names: "formversion" replaced the value and the second
  // header continued the same section.
  EXPECT_EQ(ini.Read("FrmQBoot", "FORMVERSION"), "1");
  EXPECT_EQ(ini.Read("other", "a"), "1=2");
  EXPECT_FALSE(ini.Read("frmqBoot", "stray"));
  EXPECT_EQ(ini.Serialize(),
            "[frmqBoot]\r\nFormVersion=1\r\nCustom=kept as is\r\nLate=x\r\n\r\n"
            "[Other]\r\nA=1=2\r\n\r\n");
}

TEST(IniFile, CrOnlyLineEndsAndLinesWithoutEqualsSign) {
  // Lines end in CR alone as well; a line without "=" is nobody's key and is
  // written back as read (trimmed, like every line).
  const IniFile ini = IniFile::Parse("[frmqBoot]\rFormVersion=0\r  just a note \rCheckBoxClose_Checked=TRUE\r\n"
                                     "note\nnote\r[Other]\rA=1");
  EXPECT_EQ(ini.Read("frmqBoot", "FormVersion"), "0");
  EXPECT_EQ(ini.Read("frmqBoot", "CheckBoxClose_Checked"), "TRUE");
  EXPECT_FALSE(ini.Read("frmqBoot", "just a note"));
  EXPECT_FALSE(ini.Read("frmqBoot", "note"));
  EXPECT_EQ(ini.Read("Other", "A"), "1");
  EXPECT_EQ(ini.Serialize(),
            "[frmqBoot]\r\nFormVersion=0\r\njust a note\r\nCheckBoxClose_Checked=TRUE\r\nnote\r\nnote\r\n\r\n"
            "[Other]\r\nA=1\r\n\r\n");
  // A key named like a kept line is a key of its own.
  IniFile edited = ini;
  edited.Write("frmqBoot", "note", "x");
  EXPECT_EQ(edited.Read("frmqBoot", "note"), "x");
  EXPECT_EQ(IniFile::Parse(edited.Serialize()).Serialize(), edited.Serialize());
}

TEST(IniFile, AValueWithALineBreakIsNotStored) {
  IniFile ini = IniFile::Parse("[frmqBoot]\r\nOpenDialog1_FileName=/home/u/old.hex\r\n");
  for (const char* bad : {"/tmp/a\nFormVersion=zz.hex", "/tmp/a\rb.hex", "/tmp/a\r\n[x]\r\n"}) {
    EXPECT_FALSE(ini.Write("frmqBoot", "OpenDialog1_FileName", bad));
    EXPECT_FALSE(ini.Write("frmqBoot", "OpenDialog1_InitialDir", bad));
  }
  // The old value stays; a new key is added empty, in its place.
  EXPECT_EQ(ini.Serialize(), "[frmqBoot]\r\nOpenDialog1_FileName=/home/u/old.hex\r\nOpenDialog1_InitialDir=\r\n\r\n");
  EXPECT_TRUE(ini.Write("frmqBoot", "OpenDialog1_FileName", "/tmp/ok.hex"));
  EXPECT_EQ(ini.Read("frmqBoot", "OpenDialog1_FileName"), "/tmp/ok.hex");
}

TEST(IniFile, SaveIsAtomicAndLeavesReadOnlyFilesAlone) {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/ini");
  QDir(dir).removeRecursively();
  const std::string path = (dir + "/sub/Settings.ini").toStdString();
  IniFile ini;
  ini.Write("frmqBoot", "FormVersion", "0");
  ASSERT_TRUE(ini.Save(path));  // creates the missing folder
  EXPECT_EQ(IniFile::Load(path).Serialize(), "[frmqBoot]\r\nFormVersion=0\r\n\r\n");
  EXPECT_EQ(QDir(dir + "/sub").entryList(QDir::Files), QStringList{"Settings.ini"});  // no temporary left

  QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::ReadGroup);
  ini.Write("frmqBoot", "FormVersion", "5");
  EXPECT_FALSE(ini.Save(path));
  EXPECT_EQ(IniFile::Load(path).Read("frmqBoot", "FormVersion"), "0");
  QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST(FormStorage, BooleansAndIntegers) {
  for (const char* t : {"TRUE", "yes", "Y", "y", "1", "-3"}) EXPECT_EQ(ParseBoolean(t), true) << t;
  for (const char* t : {"false", "No", "n", "0"}) EXPECT_EQ(ParseBoolean(t), false) << t;
  for (const char* t : {"", "maybe", "1x"}) EXPECT_FALSE(ParseBoolean(t)) << t;
  EXPECT_EQ(ParseInteger(""), 0);
  EXPECT_EQ(ParseInteger(" -12 "), -12);
  EXPECT_FALSE(ParseInteger("12a"));
  EXPECT_FALSE(ParseInteger("0x10"));
}

const ScreenInfo kScreen{1920, 1080, 96};

TEST(FormStorage, AppliesPositionForThisScreenElseBareKey) {
  WindowPlacement current;
  current.norm = {234, 120, 723, 477};
  IniFile ini = IniFile::Parse(
      "[frmqBoot]\nNormPos=1,2,3,4\nNormPos(1920x1080)=300,x,800,500\nMinMaxPos(1920x1080)=-1,,7,8\n"
      "ShowCmd=6\nCheckBoxClose_Checked=yes\nOpenDialog1_FileName=/tmp/a b.hex\nMCUComboBox_ItemIndex=zero\n");
  AppliedSettings a = ApplyFormSettings(ini, kScreen, current);
  ASSERT_TRUE(a.placement);
  // Unreadable numbers: the current value in NormPos, 0 in MinMaxPos.
  EXPECT_EQ(a.placement->norm, (std::array<int, 4>{300, 120, 800, 500}));
  EXPECT_EQ(a.placement->min_max, (std::array<int, 4>{-1, 0, 7, 8}));
  EXPECT_EQ(a.show_state, ShowState::Minimised);
  EXPECT_EQ(a.close_when_finished, true);
  EXPECT_EQ(a.file_name, "/tmp/a b.hex");
  EXPECT_FALSE(a.mcu_item_index);  // unreadable: left as designed
  EXPECT_FALSE(a.error);

  ini = IniFile::Parse("[frmqBoot]\nNormPos=10,20,30,40\nPixelsPerInch=120\n");
  EXPECT_FALSE(ApplyFormSettings(ini, kScreen, current).placement);  // another screen density
  ini = IniFile::Parse("[frmqBoot]\nNormPos=10,20,30,40\n");
  ASSERT_TRUE(ApplyFormSettings(ini, kScreen, current).placement);
  EXPECT_EQ(ApplyFormSettings(ini, kScreen, current).placement->norm[0], 10);
}

TEST(FormStorage, ConversionErrorEndsApplyingAtItsKey) {
  const IniFile ini = IniFile::Parse(
      "[frmqBoot]\nNormPos=10,20,30,40\nPixelsPerInch=ninety\nShowCmd=3\nCheckBoxClose_Checked=TRUE\n");
  const AppliedSettings a = ApplyFormSettings(ini, kScreen, {});
  EXPECT_EQ(a.error, "'ninety' is not a valid integer value");
  EXPECT_FALSE(a.placement);
  EXPECT_FALSE(a.show_state);
  EXPECT_FALSE(a.close_when_finished);

  const AppliedSettings negative =
      ApplyFormSettings(IniFile::Parse("[frmqBoot]\nFormVersion=-1\nCheckBoxClose_Checked=TRUE\n"), kScreen, {});
  EXPECT_FALSE(negative.close_when_finished);
  EXPECT_FALSE(negative.error);
}

TEST(FormStorage, GatherWritesTheKeysOfANewFileInOrder) {
  IniFile ini;
  WindowPlacement p;
  p.norm = {234, 120, 723, 477};
  GatherFormSettings(ini, kScreen, p, StoredProps{true, "", "/home/u/prog.hex", 0});
  EXPECT_EQ(ini.Serialize(),
            "[frmqBoot]\r\nFormVersion=0\r\nShowCmd=1\r\nFlags=0\r\nPixelsPerInch=96\r\n"
            "MinMaxPos(1920x1080)=-1,-1,-1,-1\r\nMinMaxPos=-1,-1,-1,-1\r\n"
            "NormPos(1920x1080)=234,120,723,477\r\nNormPos=234,120,723,477\r\n"
            "CheckBoxClose_Checked=TRUE\r\nOpenDialog1_InitialDir=\r\n"
            "OpenDialog1_FileName=/home/u/prog.hex\r\nMCUComboBox_ItemIndex=0\r\n\r\n");
}

TEST(FormStorage, AFileNameWithALineBreakInjectsNothing) {
  IniFile ini;
  GatherFormSettings(ini, kScreen, {}, StoredProps{false, "", "/home/u/first.hex", -1});
  GatherFormSettings(ini, kScreen, {}, StoredProps{true, "/srv", "/tmp/x\nFormVersion=zz\n.hex", -1});
  const AppliedSettings a = ApplyFormSettings(IniFile::Parse(ini.Serialize()), kScreen, {});
  EXPECT_FALSE(a.error);
  EXPECT_EQ(a.file_name, "/home/u/first.hex");  // the last name that could be kept
  EXPECT_EQ(a.initial_dir, "/srv");
  EXPECT_EQ(a.close_when_finished, true);
}

TEST(SettingsLocation, BesideTheProgramElseTheUsersConfigFolder) {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/location");
  QDir(dir).removeRecursively();
  QDir().mkpath(dir + "/bin");
  EXPECT_EQ(SettingsPath((dir + "/bin").toStdString()), (dir + "/bin/Settings.ini").toStdString());
  // A folder that cannot take the file (here: one that does not exist).
  qputenv("XDG_CONFIG_HOME", (dir + "/config").toLocal8Bit());
  EXPECT_EQ(SettingsPath((dir + "/gone").toStdString()), (dir + "/config/quelloader/Settings.ini").toStdString());
  qunsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsLocation, AnInstalledProgramNeverWritesBesideItself) {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/location-installed");
  QDir(dir).removeRecursively();
  QDir().mkpath(dir + "/bin");
  QDir().mkpath(dir + "/prefix");
  QFile::link(dir + "/bin", dir + "/prefix/bin");
  // A file left beside an installed program (by a run as root, say) is not
  // used either: the folder decides, not the file.
  QFile f(dir + "/bin/Settings.ini");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  qputenv("XDG_CONFIG_HOME", (dir + "/config").toLocal8Bit());
  const std::string config = (dir + "/config/quelloader/Settings.ini").toStdString();
  // The configured install folder, also when reached through a link.
  EXPECT_EQ(SettingsPath((dir + "/bin").toStdString(), (dir + "/bin").toStdString()), config);
  EXPECT_EQ(SettingsPath((dir + "/bin").toStdString(), (dir + "/prefix/bin").toStdString()), config);
  EXPECT_EQ(SettingsPath((dir + "/bin").toStdString(), (dir + "/other").toStdString()),
            (dir + "/bin/Settings.ini").toStdString());
  // System folders, whoever runs the program (root can write to them).
  for (const char* system : {"/usr/bin", "/usr/local/bin", "/bin", "/opt/quelloader/bin"})
    EXPECT_EQ(SettingsPath(system, ""), config) << system;
  // A relative XDG_CONFIG_HOME is not used.
  qputenv("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(SettingsPath("/usr/bin", ""), (QDir::homePath() + "/.config/quelloader/Settings.ini").toStdString());
  qunsetenv("XDG_CONFIG_HOME");
}

TEST(WindowArguments, OptionsFileAndUsageErrors) {
  auto parse = [](std::vector<const char*> words) {
    words.insert(words.begin(), "quelloader");
    return ParseWindowArguments(static_cast<int>(words.size()), words.data(), QtWindowProgramText());
  };
  ParsedWindowArguments p = parse({"prog.hex"});
  EXPECT_FALSE(p.exit_code);
  EXPECT_EQ(p.args.file, "prog.hex");
  p = parse({"--simulate", "pic16", "a b.hex"});
  EXPECT_FALSE(p.exit_code) << p.err;
  EXPECT_EQ(p.args.simulate, "pic16");
  EXPECT_EQ(p.args.file, "a b.hex");
  p = parse({"--", "-odd.hex"});
  EXPECT_EQ(p.args.file, "-odd.hex");
  p = parse({});
  EXPECT_FALSE(p.exit_code);
  EXPECT_FALSE(p.args.file);

  for (const std::vector<const char*>& bad : std::vector<std::vector<const char*>>{
           {"--x", "prog.hex"}, {"prog.hex", "--x"}, {"-x"}, {"a.hex", "b.hex"}, {"--simulate", "pic17"},
           {"--simulate"}, {"-platform", "offscreen"}, {"--screenshots", "/tmp/shots", "x.hex"}}) {
    p = parse(bad);
    EXPECT_EQ(p.exit_code, 2) << bad.front();
    EXPECT_FALSE(p.err.empty());
    EXPECT_TRUE(p.out.empty());
  }
  p = parse({"--help"});
  EXPECT_EQ(p.exit_code, 0);
  EXPECT_NE(p.out.find("--simulate"), std::string::npos);
  EXPECT_EQ(p.out.find("--screenshots"), std::string::npos);  // the pictures have a program of their own
  p = parse({"--version"});
  EXPECT_EQ(p.exit_code, 0);
  EXPECT_EQ(p.out.rfind("quelloader ", 0), 0u) << p.out;
}

// The program itself: a usage error ends it before any window or display.
TEST(WindowArguments, UnknownOptionIsAUsageErrorOfTheProgram) {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/arguments");
  QDir().mkpath(dir);
  const QString hex = dir + "/prog.hex";
  QFile f(hex);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(":00000001FF\n");
  f.close();
  // timeout: a program that took the option for nothing would open its
  // window and run on.
  const std::string cmd = std::string("QT_QPA_PLATFORM=offscreen timeout 20 '") + QUELLOADER_WINDOW + "' --x '" +
                          hex.toStdString() + "' >/dev/null 2>&1 </dev/null";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

// The signal masks of process `pid` (/proc/PID/status): caught and ignored.
bool SignalMasks(pid_t pid, unsigned long long& caught, unsigned long long& ignored) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool got_caught = false, got_ignored = false;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) got_caught = (caught = std::stoull(line.substr(7), nullptr, 16), true);
    if (line.rfind("SigIgn:", 0) == 0) got_ignored = (ignored = std::stoull(line.substr(7), nullptr, 16), true);
  }
  return got_caught && got_ignored;
}

// The window as a program: a closed pipe's SIGPIPE leaves it running, and
// SIGHUP (its terminal closed) closes it as its close button would, with its
// settings written. A copy runs from a folder of the test's own, which then
// holds its Settings.ini.
TEST(AppSignals, SigpipeIsIgnoredAndSighupClosesTheWindow) {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/signals");
  QDir(dir).removeRecursively();
  QDir().mkpath(dir);
  const QString program = dir + QStringLiteral("/quelloader");
  ASSERT_TRUE(QFile::copy(QStringLiteral(QUELLOADER_WINDOW), program));
  const std::string path = program.toStdString();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::execl(path.c_str(), path.c_str(), "--simulate", "pic18", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Until its handlers are in place (the window is up), or 30 s.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto bit = [](int signal) { return 1ULL << (signal - 1); };
  unsigned long long caught = 0, ignored = 0;
  while (!(SignalMasks(pid, caught, ignored) && (caught & bit(SIGHUP)) && (ignored & bit(SIGPIPE))) &&
         std::chrono::steady_clock::now() < give_up) {
    ::poll(nullptr, 0, 10);
  }
  EXPECT_TRUE(caught & bit(SIGHUP)) << "SIGHUP is not handled";
  EXPECT_TRUE(ignored & bit(SIGPIPE)) << "SIGPIPE is not ignored";
  ::kill(pid, SIGPIPE);
  ::kill(pid, SIGHUP);
  // A window that took SIGHUP for nothing would run on: 30 s, then it is killed.
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up + std::chrono::seconds(30)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    ::poll(nullptr, 0, 10);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/Settings.ini"))) << "closed without saving its settings";
}

// One pixel per character: widths are easy to reason about.
int CharWidth(std::string_view s) { return static_cast<int>(s.size()); }

TEST(PathFit, DropsLeadingDirectoriesStepByStep) {
  const std::string text = ": /a/bb/prog.hex";
  // The steps: ": /a/bb/prog.hex" (16), ".../a/bb/prog.hex" (17), ".../bb/prog.hex"
  // (15), ".../prog.hex" (12), "prog.hex" (8).
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 16, '/'), text);
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 15, '/'), ".../bb/prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 14, '/'), ".../prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 11, '/'), "prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 2, '/'), "prog.hex");  // bare name, cut when drawn
}

TEST(PathFit, DropFirstDirectoryKeepsARootSlash) {
  EXPECT_EQ(DropFirstDirectory("/", '/'), "");
  EXPECT_EQ(DropFirstDirectory("/home/u/", '/'), "/.../u/");
  EXPECT_EQ(DropFirstDirectory("/.../u/", '/'), "/.../");
  EXPECT_EQ(DropFirstDirectory(".../u/", '/'), ".../");
  EXPECT_EQ(DropFirstDirectory(".../", '/'), "");
  // "/.../" itself turns into ".../" inside FitPathToWidth, then into nothing.
  EXPECT_EQ(FitPathToWidth("/home/u/p.hex", CharWidth, 9, '/'), ".../p.hex");
}

// Windows paths: a drive, backslashes; the drive goes once the directories have.
TEST(PathFit, WindowsPathLosesDirectoriesThenItsDrive) {
  const std::string text = ": C:\\a\\b\\prog.hex";
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 100, '\\'), text);
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 16, '\\'), "...\\a\\b\\prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 15, '\\'), "...\\b\\prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 13, '\\'), "...\\prog.hex");
  EXPECT_EQ(FitPathToWidth(text, CharWidth, 11, '\\'), "prog.hex");
  // Drive and root: C:\...\ gives way to ...\ alone.
  EXPECT_EQ(FitPathToWidth("C:\\x\\p.hex", CharWidth, 9, '\\'), "...\\p.hex");
}

TEST(Markup, FontSizeIsInPointsAndParagraphsCentre) {
  const QString html = MarkupToRichText(QStringLiteral("<B><FONT face=\"Tahoma\"  size=\"22\" color=\"#FF0000\">1</FONT></B>"));
  EXPECT_TRUE(html.contains(QStringLiteral("font-size:22pt"))) << html.toStdString();
  EXPECT_TRUE(html.contains(QStringLiteral("color:#FF0000")));
  EXPECT_TRUE(html.contains(QStringLiteral("font-family:'Tahoma'")));
  EXPECT_FALSE(html.contains(QStringLiteral("size=\"")));
  EXPECT_TRUE(MarkupToRichText(QStringLiteral("<P align=\"center\">A&B</P>")).contains(QStringLiteral("align=\"center\"")));
  EXPECT_TRUE(MarkupToRichText(QStringLiteral("<P align=\"center\">A&B</P>")).contains(QStringLiteral("A&amp;B")));
  EXPECT_EQ(MarkupPlainText(QStringLiteral("<B><FONT color=\"#B2B2B2\">Bootloading <BR>progress bar</FONT></B>")),
            QStringLiteral("Bootloading \nprogress bar"));
}

TEST(ErrorReport, FullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(ErrorReportText(QStringLiteral("'x' is not a valid integer value")),
            QStringLiteral("'x' is not a valid integer value."));
  EXPECT_EQ(ErrorReportText(QStringLiteral("Done.")), QStringLiteral("Done."));
  EXPECT_EQ(ErrorReportText(QStringLiteral("Failed!")), QStringLiteral("Failed!"));  // '!' sorts before '.'
  EXPECT_EQ(ErrorReportText(QStringLiteral("file \"a\"")), QStringLiteral("file \"a\""));
  EXPECT_EQ(ErrorReportText(QStringLiteral("code 7")), QStringLiteral("code 7."));
}

}  // namespace
}  // namespace ql
