// The main window: start-up, the profile panel, enabled states, menus and the
// settings kept between runs.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <unistd.h>

#include "app/AppPaths.h"
#include "medialib/FFLoad.h"
#include "tests/app/qt_test_app.h"

using qttest::TTestApp;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

QStringList Items(const QComboBox* ABox) {
  QStringList r;
  for (int i = 0; i < ABox->count(); ++i) r << ABox->itemText(i);
  return r;
}

// A file list of AFiles files for the profile panel.
class TFakeFiles : public IProfileUsers {
public:
  explicit TFakeFiles(int AFiles) : Profiles(AFiles, 0) {}
  int FileCount() const override { return static_cast<int>(Profiles.size()); }
  int SelectedFile() const override { return Selected; }
  int FileProfile(int i) const override { return Profiles[i]; }
  void SetFileProfile(int i, int p) override { Profiles[i] = p; }
  void UpdateEstimatedSizes() override { ++SizeUpdates; }
  void Clear() override { Profiles.clear(); }
  std::vector<int> Profiles;
  int Selected = -1;
  int SizeUpdates = 0;
};

// The user picks item AIndex of a drop-down and its list closes.
void PickFromDropDown(QComboBox* ABox, int AIndex) {
  ABox->showPopup();
  ABox->setCurrentIndex(AIndex);
  emit ABox->activated(AIndex);
  ABox->hidePopup();
}

} // namespace

// Runs first: the libraries must not be loaded by an earlier test of the process.
TEST(MainWindowStart, MissingMediaLibrariesAreReportedAndTheWindowStaysUsable) {
  if (MediaLibrariesLoaded()) GTEST_SKIP() << "media libraries already loaded in this process";
  TTestApp app;
  std::filesystem::create_directories(app.AppDir / "LibAV");
  WriteFile((app.AppDir / "LibAV" / TFFLoader::FileName(avUtil)).string(), "not a library");
  TMainForm& w = app.Start();

  ASSERT_EQ(app.Reports->Entries.size(), 1u);
  EXPECT_EQ(app.Reports->Entries[0].Mark, "CLM_FFAVLibLoad");
  QString msg = app.Reports->Entries[0].Message;
  EXPECT_FALSE(msg.isEmpty());
  EXPECT_EQ(msg.toStdString(), FFLoader().LastErrMsg());
  QStringList log = app.LogForm->Lines();
  ASSERT_EQ(log.size(), 1);
  EXPECT_TRUE(log[0].endsWith("-> " + msg)) << log[0].toStdString();
  EXPECT_FALSE(log[0].startsWith("-> "));
  // The rest of the start-up ran and the panel works.
  EXPECT_EQ(w.cmbProfile->count(), 5);
  PickFromDropDown(w.cmbProfile, 1);
  EXPECT_EQ(w.CurrentProfileInd, 1);
  EXPECT_EQ(Items(w.cmbAudioBitRate), QStringList({"128 kbps", "192 kbps", "320 kbps"}));
}

TEST(MainWindowStart, FirstStartWithoutSettings) {
  TTestApp app;
  app.WritePicture();
  TMainForm& w = app.Start();

  EXPECT_TRUE(app.Reports->Entries.empty());
  EXPECT_EQ(w.windowTitle(), "Tavrik Sondel");
  std::string output = (app.Home / "Documents/Tavrik/Tavrik Sondel/Output").string();
  EXPECT_TRUE(FolderExists(output));
  EXPECT_EQ(w.edDestinationFolder->text().toStdString(), output);
  EXPECT_TRUE(w.edDestinationFolder->isReadOnly());
  EXPECT_EQ(w.OpenDialogInitialFolder.toStdString(), (app.Home / "Music").string());
  EXPECT_EQ(w.TempFolder, "/tmp/");
  EXPECT_EQ(Items(w.cmbProfile), QStringList({"FLAC", "MP3", "AAC", "Ogg Vorbis", "Odd"}));
  EXPECT_EQ(w.cmbProfile->currentIndex(), 0);
  EXPECT_EQ(w.CurrentProfileInd, 0);
  EXPECT_EQ(w.LastEditedProfileInd, -1);
  EXPECT_EQ(Items(w.cmbSampleRate), QStringList({"Original", "44100 Hz"}));
  EXPECT_EQ(w.cmbSampleRate->currentIndex(), 1);
  EXPECT_EQ(w.cmbChannel->currentText(), "Stereo");
  EXPECT_EQ(w.cmbAudioEncoder->currentText(), "FLAC");
  EXPECT_EQ(w.cmbAudioBitRate->currentText(), "~900 kbps");
  EXPECT_EQ(w.edVolume->value(), 100);
  EXPECT_EQ(w.edVolume->minimum(), 1);
  EXPECT_EQ(w.edVolume->maximum(), 5000);
  EXPECT_TRUE(w.chApplyToAll->isChecked());
  EXPECT_FALSE(w.chMerge->isChecked());
  ASSERT_FALSE(app.Reporter->ReportLines.empty());
  EXPECT_EQ(app.Reporter->ReportLines[0], "FFLOGGER HISTORY:");
  // The list with its columns, covered by the getting-started picture.
  const int widths[] = {132, 92, 87, 115, 48};
  for (int c = 0; c < 5; ++c) EXPECT_EQ(w.sgList->columnWidth(c), widths[c]);
  EXPECT_EQ(w.sgList->horizontalHeader()->height(), 20);
  EXPECT_EQ(w.sgList->model()->headerData(3, Qt::Horizontal).toString(), "Destination File");
  EXPECT_EQ(w.ListPages->currentWidget(), w.GettingStartedPanel);
  EXPECT_FALSE(w.GettingStartedImage->pixmap().isNull());
  // Base geometry.
  EXPECT_EQ(w.size(), QSize(594, 438));
  EXPECT_EQ(w.ListPages->size(), QSize(360, 114));
  EXPECT_EQ(w.OutputSettings->size(), QSize(177, 335));
  EXPECT_EQ(w.StartButton->size(), QSize(176, 55));
  EXPECT_EQ(w.AddButton->size(), QSize(113, 41));

  // Closing writes the settings; hiding the drop-downs is no edit.
  app.Stop();
  TIniSettingsStore store(app.SettingsFile());
  TSettingsGroup g;
  ASSERT_TRUE(store.ReadGroup("Tavrik Sondel", g));
  EXPECT_EQ(g.String("OutputPath"), output);
  EXPECT_EQ(g.Integer("recentprofileind"), 0);
  EXPECT_FALSE(g.Has("lasteditedprofileind"));
  EXPECT_FALSE(g.Has("audiobitrate"));
  EXPECT_FALSE(g.Has("OpenAudioDialogPath"));
}

TEST(MainWindowStart, WithoutPictureTheListShows) {
  TTestApp app;
  TMainForm& w = app.Start();
  EXPECT_EQ(w.ListPages->currentWidget(), w.sgList);
}

TEST(MainWindowStart, WithoutProfileSetNothingElseHappensAndSettingsSurvive) {
  for (std::string content :
       {std::string("missing"), std::string(), EncodeProfileSet("<ProfileSet>\n</ProfileSet>\n")}) {
    SCOPED_TRACE(content);
    TTestApp app(false);
    if (content != "missing") WriteFile((app.AppDir / "sondel-profiles/formats.dat").string(), content);
    const std::string stored = "[Tavrik Sondel]\nOutputPath=/somewhere/else\nrecentprofileind=2\n";
    app.WriteSettings(stored);
    bool loadedBefore = MediaLibrariesLoaded();
    TMainForm& w = app.Start();
    if (!loadedBefore) {
      EXPECT_FALSE(MediaLibrariesLoaded()); // start-up stopped before loading them
    }

    ASSERT_EQ(app.Reports->Entries.size(), 1u);
    EXPECT_EQ(app.Reports->Entries[0].Message, "Error loading profiles");
    EXPECT_EQ(app.Reports->Entries[0].Mark, "CLM_LoadProfiles");
    EXPECT_EQ(w.cmbProfile->count(), 0);
    EXPECT_EQ(w.edDestinationFolder->text(), "");
    EXPECT_FALSE(FolderExists((app.Home / "Documents/Tavrik").string()));
    // Using the panel does nothing harmful.
    w.SelectProfile(0);
    w.chApplyToAll->click();
    w.chApplyToAll->click();
    w.ClearAll1Click();
    app.Stop();
    EXPECT_EQ(app.Reports->Entries.size(), 1u);
    EXPECT_EQ(ReadFile(app.SettingsFile()), stored);
  }
}

TEST(MainWindow, EnabledStatesFollowTheList) {
  TTestApp app;
  TMainForm& w = app.Start();
  QList<QAction*> popup = {w.Remove1,   w.ClearAll1,  w.Rename1,         w.MoveUp1,
                           w.MoveDown1, w.ClipVideo1, w.FileInformation1};
  QList<QAction*> always = {w.Openaudio1, w.Close1,  w.Exit1,     w.Item11,     w.Item21,
                            w.Item31,     w.MoveUp2, w.MoveDown2, w.ClipVideo2, w.AddVideoFiles1};
  auto check = [&](const char* AStage, bool AButtons, bool APopup) {
    SCOPED_TRACE(AStage);
    EXPECT_EQ(w.EditButton->isEnabled(), AButtons);
    EXPECT_EQ(w.ClipButton->isEnabled(), AButtons);
    for (QAction* a : popup) EXPECT_EQ(a->isEnabled(), APopup) << a->objectName().toStdString();
    for (QAction* a : always) EXPECT_TRUE(a->isEnabled()) << a->objectName().toStdString();
    EXPECT_TRUE(w.StartButton->isEnabled());
    EXPECT_TRUE(w.AddButton->isEnabled());
    EXPECT_FALSE(w.Someitem31->isEnabled());
  };
  check("at start", false, true);
  w.ListFilesAdded();
  check("after adding", true, true);
  EXPECT_EQ(w.ListPages->currentWidget(), w.sgList);
  w.ClearAll1->trigger();
  check("after Clear All", false, false);
}

TEST(MainWindow, MenusButtonsAndPanelCaptions) {
  TTestApp app;
  TMainForm& w = app.Start();
  auto describe = [](QMenu* AMenu) {
    QStringList r;
    for (QAction* a : AMenu->actions())
      r << (a->isSeparator() ? QString("-") : a->objectName() + "=" + a->text());
    return r;
  };
  QStringList menus;
  for (QAction* a : w.menuBar()->actions()) menus << a->text();
  EXPECT_EQ(menus, QStringList({"File", "Edit", "Tools", "Help"}));
  auto menu = [&](int i) { return w.menuBar()->actions()[i]->menu(); };
  EXPECT_EQ(describe(menu(0)), QStringList({"Openaudio1=Add audio files", "-", "Someitem31=File Information",
                                            "Close1=Start Conversion", "-", "Exit1=Exit"}));
  EXPECT_EQ(describe(menu(1)),
            QStringList({"Item11=Remove", "Item21=Clear All", "Item31=Rename", "-", "MoveUp2=Move Up",
                         "MoveDown2=Move Down", "-", "ClipVideo2=Edit Audio..."}));
  EXPECT_EQ(describe(menu(2)), QStringList({"oolsitem11=Events Log"}));
  EXPECT_EQ(describe(menu(3)), QStringList({"Help2=Online Guide", "-", "Support1=Support",
                                            "ProductPage1=Product Page", "-", "About1=About"}));
  EXPECT_EQ(describe(w.ListMenu),
            QStringList({"AddVideoFiles1=Add Files...", "-", "Remove1=Remove", "ClearAll1=Clear All",
                         "Rename1=Rename", "-", "MoveUp1=Move Up", "MoveDown1=Move Down", "-",
                         "ClipVideo1=Trim Audio...", "-", "FileInformation1=File Information"}));
  EXPECT_EQ(w.AddButton->text(), "Open file");
  EXPECT_EQ(w.EditButton->text(), "Clear");
  EXPECT_EQ(w.ClipButton->text(), "Trim");
  EXPECT_EQ(w.StartButton->text(), "Start");
  EXPECT_EQ(w.SupportButton->text(), "Support   ");
  EXPECT_EQ(w.OutputSettings->title(), "Output Settings");
  EXPECT_EQ(w.chApplyToAll->text(), "Apply the settings to all  items");
  EXPECT_EQ(w.chMerge->text(), "Merge output music to one file");
  EXPECT_EQ(w.spSkinButton1->text(), "Change");
  EXPECT_EQ(w.spSkinButton3->text(), "Open");
  QStringList labels;
  for (QLabel* l : w.OutputSettings->findChildren<QLabel*>()) labels << l->text();
  for (const char* t : {"Codec:", "Sample:", "Bit rate:", "Channels:", "Vol. (%):", "Output:"})
    EXPECT_TRUE(labels.contains(t)) << t;
}

TEST(MainWindow, EventsLogAndAboutOpenModally) {
  TTestApp app;
  std::filesystem::copy_file(
      std::string(std::getenv("SONDEL_TEST_BIN") ? std::getenv("SONDEL_TEST_BIN") : ".") +
          "/sondel-profiles/logo.bmp",
      app.AppDir / "sondel-profiles/logo.bmp");
  TMainForm& w = app.Start();
  EXPECT_EQ(app.About->lblVersion->text(), "Version 1.5");
  EXPECT_FALSE(app.About->Logo->pixmap().isNull());
  std::vector<QWidget*> seen;
  auto closeModal = [&](QDialog* ADialog, QPushButton* AOk) {
    QTimer::singleShot(0, [&seen, ADialog, AOk] {
      seen.push_back(QApplication::activeModalWidget());
      if (ADialog->isVisible()) AOk->click();
    });
  };
  closeModal(app.LogForm.get(), app.LogForm->OKButton);
  w.oolsitem11->trigger();
  closeModal(app.About.get(), app.About->OKButton);
  w.About1->trigger();
  EXPECT_EQ(seen, std::vector<QWidget*>({app.LogForm.get(), app.About.get()}));
  EXPECT_FALSE(app.LogForm->isVisible());
  EXPECT_FALSE(app.About->isVisible());
}

TEST(MainWindow, WebPagesAndOutputFolderOpenThroughTheShell) {
  TTestApp app;
  std::string out = (app.Root.Path() / "opened.txt").string();
  setenv("SONDEL_OPEN_CMD", qttest::OpenRecorder(app.Root.Path().string(), out).c_str(), 1);
  app.WriteSettings("[Web]\nSupport=https://support.test/page\n");
  TMainForm& w = app.Start();
  w.SupportButton->click();
  w.Help2->trigger();
  w.spSkinButton3->click();
  std::string expected = "https://support.test/page\nhttps://tavrik.example/sondel/guide\n" +
                         w.edDestinationFolder->text().toStdString() + "\n";
  for (int i = 0; i < 200 && ReadFile(out) != expected; ++i) usleep(10000);
  EXPECT_EQ(ReadFile(out), expected);
  unsetenv("SONDEL_OPEN_CMD");
}

TEST(ProfilePanel, SelectionWithAndWithoutApplyToAll) {
  TTestApp app;
  TMainForm& w = app.Start();
  TFakeFiles files(3);
  files.Selected = 1;
  w.SetProfileUsers(&files);

  w.chApplyToAll->setChecked(false);
  PickFromDropDown(w.cmbProfile, 2);
  EXPECT_EQ(files.Profiles, std::vector<int>({0, 2, 0}));
  EXPECT_EQ(w.CurrentProfileInd, 2);
  EXPECT_EQ(w.RecentProfileInd, 2);
  EXPECT_EQ(Items(w.cmbAudioBitRate), QStringList({"96 kbps", "160 kbps"}));
  EXPECT_EQ(w.cmbAudioEncoder->currentText(), "AAC"); // chosen "AAC" matches "aac" regardless of case
  EXPECT_EQ(w.cmbChannel->currentText(), "Mono");
  int updates = files.SizeUpdates;

  // Checking the box gives every file the current profile.
  w.chApplyToAll->click();
  EXPECT_EQ(files.Profiles, std::vector<int>({2, 2, 2}));
  EXPECT_GT(files.SizeUpdates, updates);
  PickFromDropDown(w.cmbProfile, 3);
  EXPECT_EQ(files.Profiles, std::vector<int>({3, 3, 3}));
  // Unchecking changes nothing.
  w.chApplyToAll->click();
  EXPECT_EQ(files.Profiles, std::vector<int>({3, 3, 3}));
  // A selection on no file touches no file.
  files.Selected = -1;
  PickFromDropDown(w.cmbProfile, 1);
  EXPECT_EQ(files.Profiles, std::vector<int>({3, 3, 3}));
  w.SetProfileUsers(nullptr);
}

TEST(ProfilePanel, CloseUpStoresValuesAndRecordsTheProfile) {
  TTestApp app;
  TMainForm& w = app.Start();
  PickFromDropDown(w.cmbProfile, 1);
  // Closing a drop-down without a change still records the profile.
  w.cmbChannel->showPopup();
  w.cmbChannel->hidePopup();
  EXPECT_EQ(w.LastEditedProfileInd, 1);
  EXPECT_EQ(w.Profiles[1].Channel, "2");
  // A change stores the value, not the caption.
  PickFromDropDown(w.cmbAudioBitRate, 2);
  PickFromDropDown(w.cmbSampleRate, 2);
  EXPECT_EQ(w.Profiles[1].AudioBitRate, "320000");
  EXPECT_EQ(w.Profiles[1].SampleRate, "48000");
  EXPECT_TRUE(app.Reports->Entries.empty());

  // Profile 4 chooses a channel count its list lacks: that box has no selection.
  PickFromDropDown(w.cmbProfile, 4);
  EXPECT_EQ(w.cmbChannel->currentIndex(), -1);
  w.cmbAudioEncoder->showPopup();
  w.cmbAudioEncoder->hidePopup();
  ASSERT_EQ(app.Reports->Entries.size(), 1u);
  EXPECT_EQ(app.Reports->Entries[0].Message, "Error setting profile");
  EXPECT_EQ(app.Reports->Entries[0].Mark, "CLM_SettingProfile");
  EXPECT_EQ(w.LastEditedProfileInd, 4);
}

TEST(SettingsPersistence, ProfileEditSurvivesARestart) {
  TTestApp app;
  app.WriteSettings("[Tavrik Sondel]\nOpenAudioDialogPath=" + (app.Home / "Music").string() + "\n");
  {
    TMainForm& w = app.Start();
    PickFromDropDown(w.cmbProfile, 3);
    PickFromDropDown(w.cmbAudioBitRate, 2); // 256 kbps
    PickFromDropDown(w.cmbChannel, 0);      // Mono
    app.Stop();
  }
  TIniSettingsStore store(app.SettingsFile());
  TSettingsGroup g;
  ASSERT_TRUE(store.ReadGroup("Tavrik Sondel", g));
  EXPECT_EQ(g.Integer("lasteditedprofileind"), 3);
  EXPECT_EQ(g.Integer("recentprofileind"), 3);
  EXPECT_EQ(g.String("audiobitrate"), "256000");
  EXPECT_EQ(g.String("channels"), "1");
  EXPECT_EQ(g.String("samplerate"), "44100");
  EXPECT_EQ(g.String("audiocodecname"), "libvorbis");
  EXPECT_EQ(g.String("OutputPath"), (app.Home / "Documents/Tavrik/Tavrik Sondel/Output").string());
  // The add-files dialog was never used: its stored folder stays.
  EXPECT_EQ(g.String("OpenAudioDialogPath"), (app.Home / "Music").string());

  TMainForm& w = app.Start();
  EXPECT_TRUE(app.Reports->Entries.empty());
  EXPECT_EQ(w.cmbProfile->currentIndex(), 3);
  EXPECT_EQ(w.LastEditedProfileInd, 3);
  EXPECT_EQ(w.Profiles[3].AudioBitRate, "256000");
  EXPECT_EQ(w.cmbAudioBitRate->currentText(), "256 kbps");
  EXPECT_EQ(w.cmbChannel->currentText(), "Mono");
  // Other profiles come from the profile set unchanged.
  EXPECT_EQ(w.Profiles[1].AudioBitRate, "192000");
}

TEST(SettingsPersistence, StoredValuesOfTheWrongTypeOrRangeAreIgnored) {
  struct TCase {
    const char* Stored;
    int Recent;
    int LastEdited;
  };
  const TCase cases[] = {
      {"recentprofileind=abc\nlasteditedprofileind=1.5\n", 0, -1},
      {"recentprofileind=5\nlasteditedprofileind=42\naudiobitrate=1\n", 0, -1},
      {"recentprofileind=-1\nlasteditedprofileind=-3\n", 0, -1},
      {"recentprofileind=99999999999\nlasteditedprofileind=\n", 0, -1},
      {"recentprofileind=2\nlasteditedprofileind=1\naudiobitrate=999\nsamplerate=48000\nchannels=two\n", 2,
       1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Stored);
    TTestApp app;
    app.WriteSettings(std::string("[Tavrik Sondel]\nOpenAudioDialogPath=/no/such/folder\n") + c.Stored);
    TMainForm& w = app.Start();
    EXPECT_TRUE(app.Reports->Entries.empty());
    EXPECT_EQ(w.cmbProfile->currentIndex(), c.Recent);
    EXPECT_EQ(w.LastEditedProfileInd, c.LastEdited);
    EXPECT_EQ(w.OpenDialogInitialFolder, "");
    // Values outside the choice lists are not applied; members are.
    EXPECT_EQ(w.Profiles[1].AudioBitRate, "192000");
    EXPECT_EQ(w.Profiles[1].Channel, "2");
    if (c.LastEdited == 1) {
      EXPECT_EQ(w.Profiles[1].SampleRate, "48000");
    }
    app.Stop();
    EXPECT_TRUE(app.Reports->Entries.empty());
  }
}

TEST(SettingsPersistence, WriteFailureIsReportedOnce) {
  TTestApp app;
  TMainForm& w = app.Start();
  (void)w;
  std::filesystem::create_directories(app.Home / ".config");
  WriteFile((app.Home / ".config/Tavrik").string(), "not a folder");
  app.Stop();
  ASSERT_EQ(app.Reports->Entries.size(), 1u);
  EXPECT_EQ(app.Reports->Entries[0].Message, "Error writing data to Registry");
  EXPECT_EQ(app.Reports->Entries[0].Mark, "CLM_RegDataWrite");
}

TEST(ListView, PaintsItsColumnLines) {
  TTestApp app;
  TMainForm& w = app.Start();
  w.ListFilesAdded();
  QApplication::processEvents();
  std::vector<int> xs = w.sgList->ColumnLinePositions();
  ASSERT_EQ(xs.size(), 6u);
  EXPECT_EQ(xs[0], 131);
  EXPECT_EQ(xs[1], 132 + 92 - 1);
  QImage shot = w.sgList->viewport()->grab().toImage();
  ASSERT_FALSE(shot.isNull());
  int y = shot.height() / 2;
  for (int x : xs)
    if (x >= 0 && x < shot.width() / shot.devicePixelRatio()) {
      EXPECT_EQ(shot.pixelColor(int(x * shot.devicePixelRatio()), y).rgb() & 0xFFFFFF, 0xE6E6E6u) << x;
    }
}
