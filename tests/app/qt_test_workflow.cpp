// The main window's workflow over the real engine: adding files, the list's
// operations, conversion runs (read back with ffprobe), the progress window,
// cancel, opening the output folder and the shut-down command.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/qt/ConversionForm.h"
#include "app/qt/ConversionRun.h"
#include "app/qt/ErrorForm.h"
#include "app/qt/FileAdder.h"
#include "app/qt/FileListModel.h"
#include "app/qt/FileListPanel.h"
#include "app/qt/LogForm.h"
#include "app/qt/MainForm.h"
#include "app/qt/QtDispatcher.h"
#include "app/qt/Reporting.h"
#include "app/qt/Workflow.h"
#include "platform/Mail.h"
#include "platform/Settings.h"
#include "platform/ShellOpen.h"
#include "platform/UserFolders.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

// Readable QString values in failure messages.
void PrintTo(const QString& AText, std::ostream* AOut) {
  *AOut << '"' << AText.toStdString() << '"';
}

namespace {

// The process's home: settings, caches, documents and the recording scripts.
TTempDir* GHome = nullptr;
QApplication* GApp = nullptr;

std::string HomePath(const std::string& AName) {
  return (GHome->Path() / AName).string();
}

void WriteScript(const std::string& APath, const std::string& ABody) {
  WriteFile(APath, "#!/bin/sh\n" + ABody);
  fs::permissions(APath, fs::perms::owner_all);
}

class TEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    GHome = new TTempDir;
    setenv("HOME", GHome->Path().c_str(), 1);
    for (auto [name, sub] : {std::pair{"XDG_CONFIG_HOME", ".config"},
                             {"XDG_CACHE_HOME", ".cache"},
                             {"XDG_DATA_HOME", ".local/share"}}) {
      fs::create_directories(GHome->Path() / sub);
      setenv(name, (GHome->Path() / sub).c_str(), 1);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    WriteScript(HomePath("open.sh"), "printf '%s\\n' \"$1\" >> \"$HOME/open.log\"\n");
    WriteScript(HomePath("shutdown.sh"),
                "if [ -f \"$XDG_CONFIG_HOME/Tavrik/Tavrik Sondel.conf\" ]; then s=saved; else s=unsaved; fi\n"
                "echo $s >> \"$HOME/shutdown.log\"\n");
    setenv("SONDEL_OPEN_CMD", HomePath("open.sh").c_str(), 1);
    setenv("SONDEL_SHUTDOWN_CMD", HomePath("shutdown.sh").c_str(), 1);
    static int argc = 1;
    static char name[] = "qt_test_workflow";
    static char* argv[] = {name, nullptr};
    GApp = new QApplication(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
  }
  void TearDown() override {
    delete GApp;
    delete GHome;
  }
};
const auto* GEnv = ::testing::AddGlobalTestEnvironment(new TEnvironment);

// Generated media shared by the tests.
struct TMedia {
  TTempDir Dir;
  std::string Wav1, Wav2, Flac, Mp3;
  // A minute of sound: long enough for several progress reports.
  const std::string& Long() {
    if (FLong.empty()) {
      FLong = Dir / "long.flac";
      MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=60", "-ac", "2", "-ar", "44100", FLong});
    }
    return FLong;
  }
  TMedia() {
    Wav1 = Dir / "one.wav";
    Wav2 = Dir / "two.final.wav";
    Flac = Dir / "mono.flac";
    Mp3 = Dir / "song.mp3";
    MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-ac", "2", "-ar", "44100", Wav1});
    MakeMedia({"-f", "lavfi", "-i", "sine=frequency=660:duration=1.5", "-ac", "2", "-ar", "48000", Wav2});
    MakeMedia({"-f", "lavfi", "-i", "sine=frequency=330:duration=2", "-ac", "1", "-ar", "22050", Flac});
    MakeMedia(
        {"-f", "lavfi", "-i", "sine=frequency=550:duration=1", "-c:a", "libmp3lame", "-b:a", "64k", Mp3});
  }

private:
  std::string FLong;
};
TMedia& Media() {
  static TMedia* m = new TMedia;
  return *m;
}

struct TProbe {
  std::string Codec;
  int SampleRate = 0;
  int Channels = 0;
  double Duration = -1;
};

TProbe Probe(const std::string& AFile) {
  TProbe p;
  QJsonObject o =
      QJsonDocument::fromJson(QByteArray::fromStdString(ProbeJSON(AFile, {"-show_packets"}))).object();
  QJsonObject s = o["streams"].toArray().at(0).toObject();
  p.Codec = s["codec_name"].toString().toStdString();
  p.SampleRate = s["sample_rate"].toString().toInt();
  p.Channels = s["channels"].toInt();
  // The length of the packets: a header may not state it.
  for (const QJsonValue& v : o["packets"].toArray()) {
    QJsonObject k = v.toObject();
    p.Duration =
        std::max(p.Duration, k["pts_time"].toString().toDouble() + k["duration_time"].toString().toDouble());
  }
  return p;
}

// Answers the message boxes and error reports that the workflow shows
// modally, recording what they said; other modal windows go to OnModal.
class TModalWatcher : public QObject {
public:
  explicit TModalWatcher(TErrorReporter* AReporter) {
    connect(&FTimer, &QTimer::timeout, this, &TModalWatcher::Poll);
    connect(AReporter, &TErrorReporter::ErrorReportShown, this,
            [this](const QString& AMessage, const QString& AMark) { Marks << AMark + ": " + AMessage; });
    FTimer.start(10);
  }
  QStringList Boxes, Reports, Marks;
  std::function<void(QWidget*)> OnModal;

private:
  void Poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w) return;
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      Boxes << box->text();
      box->done(QMessageBox::Ok);
    } else if (auto* report = qobject_cast<TErrorForm*>(w)) {
      Reports << report->lblErrorText->text();
      report->reject();
    } else if (OnModal) {
      OnModal(w);
    }
  }
  QTimer FTimer;
};

// Calls OnShow when the watched window is shown.
class TShowSpy : public QObject {
public:
  std::function<void()> OnShow;
  bool eventFilter(QObject*, QEvent* AEvent) override {
    if (AEvent->type() == QEvent::Show && OnShow) OnShow();
    return false;
  }
};

// The application as main() builds it, in a fresh settings store.
class WorkflowTest : public ::testing::Test {
protected:
  void SetUp() override {
    Media();
    fs::remove(HomePath("open.log"));
    fs::remove(HomePath("shutdown.log"));
    fs::remove_all(GHome->Path() / ".config/Tavrik");
    fs::remove_all(GHome->Path() / "tavrik_temp");
    Out = std::make_unique<TTempDir>();
    Settings = std::make_unique<TIniSettingsStore>(DefaultSettingsFileName());
    Log = std::make_unique<TLogForm>();
    ErrForm = std::make_unique<TErrorForm>();
    Reporter = std::make_unique<TErrorReporter>(Log.get(), ErrForm.get(), Settings.get(), &Mailer, &Opener);
    TAppServices services;
    services.Paths.AppFolder =
        std::string(std::getenv("SONDEL_TEST_BIN") ? std::getenv("SONDEL_TEST_BIN") : ".") + "/";
    services.Settings = Settings.get();
    services.Folders = &Folders;
    services.Opener = &Opener;
    Form = std::make_unique<TMainForm>(services, Reporter.get());
    Flow = std::make_unique<TWorkflow>(Form.get(), Reporter.get(), &Opener);
    Form->FormCreate();
    ASSERT_TRUE(Form->ProfilesLoaded());
    ASSERT_GE(Form->Profiles.size(), 2u);
    ASSERT_EQ(Form->Profiles[0].FormatExt, ".flac");
    ASSERT_EQ(Form->Profiles[1].FormatExt, ".mp3");
    Form->show();
    Form->edDestinationFolder->setText(QString::fromStdString(Out->Path().string()));
    Watcher = std::make_unique<TModalWatcher>(Reporter.get());
  }
  void TearDown() override {
    Watcher.reset();
    Flow.reset();
    Form.reset();
    Reporter.reset();
    ErrForm.reset();
    Log.reset();
  }

  TFileListModel* Model() { return Flow->List->Model(); }
  QStringList Column(int AColumn) {
    QStringList l;
    for (int r = 0; r < Model()->rowCount(); ++r) l << Model()->CellText(r, AColumn);
    return l;
  }
  // Adds through the "Open file" button, the dialog answering AFiles.
  void AddByDialog(const QStringList& AFiles) {
    Flow->Adder->ChooseFiles = [AFiles] { return AFiles; };
    Form->AddButton->click();
  }
  void AddFiles(std::initializer_list<std::string> AFiles) {
    QStringList l;
    for (auto& f : AFiles) l << QString::fromStdString(f);
    AddByDialog(l);
  }
  // Event lines without their time stamps ("-> text"), and bare lines.
  QStringList Events() {
    QStringList out;
    for (const QString& l : Log->Lines()) {
      int at = l.indexOf("-> ");
      out << (at >= 0 ? l.mid(at) : l);
    }
    return out;
  }
  // Clicks Start; returns when the run has ended (the progress window is
  // closed by the run's final notice).
  void Start() {
    QElapsedTimer t;
    t.start();
    Form->StartButton->click();
    EXPECT_LT(t.elapsed(), 60000);
  }
  static std::string WaitForFile(const std::string& APath, int AMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < AMs) {
      if (fs::exists(APath) && fs::file_size(APath) > 0) {
        QTest::qWait(50);
        return ReadFile(APath);
      }
      QTest::qWait(20);
    }
    return {};
  }
  void SelectRow(int ARow) { Flow->List->SelectFile(ARow); }
  // The MP3 profile for every file: chosen while a FLAC file is selected.
  void ChooseMp3ForAll(int AFlacRow) {
    SelectRow(AFlacRow);
    ASSERT_TRUE(Form->cmbProfile->isEnabled());
    Form->cmbProfile->setCurrentIndex(1);
    emit Form->cmbProfile->activated(1);
  }

  std::unique_ptr<TTempDir> Out;
  TXdgUserFolders Folders;
  TShellOpener Opener;
  TCurlMailer Mailer;
  std::unique_ptr<TIniSettingsStore> Settings;
  std::unique_ptr<TLogForm> Log;
  std::unique_ptr<TErrorForm> ErrForm;
  std::unique_ptr<TErrorReporter> Reporter;
  std::unique_ptr<TMainForm> Form;
  std::unique_ptr<TWorkflow> Flow;
  std::unique_ptr<TModalWatcher> Watcher;
  TQtDispatcher Dispatcher;
};

} // namespace

TEST_F(WorkflowTest, AddingThreeFilesOfWhichTheSecondIsNotMedia) {
  std::string bad = Out->Path() / "notes.mp3";
  WriteFile(bad, "these are not sounds\n");
  EXPECT_FALSE(Form->EditButton->isEnabled());
  AddFiles({Media().Wav2, bad, Media().Flac});

  EXPECT_EQ(Column(0), QStringList({"two.final.wav", "mono.flac"}));
  EXPECT_EQ(Column(1), QStringList({"00:00:01", "00:00:02"}));
  EXPECT_EQ(Column(3), QStringList({"two.final", "mono"}));
  EXPECT_EQ(Column(4), QStringList({".flac", ".flac"}));
  EXPECT_EQ(Column(2)[1], "0.22 MB"); // 900000 b/s for 2 s
  EXPECT_EQ(Watcher->Boxes,
            QStringList({"File notes.mp3 is not a valid media file or its format is not supported."}));
  EXPECT_TRUE(Watcher->Reports.isEmpty());
  QStringList ev = Events();
  ASSERT_EQ(ev.size(), 5) << ev.join("\n").toStdString();
  EXPECT_EQ(ev[0], "-> Added file " + QString::fromStdString(Media().Wav2));
  EXPECT_EQ(ev[1], "");
  EXPECT_TRUE(ev[2].startsWith("-> File load error: ")) << ev[2].toStdString();
  EXPECT_GT(ev[2].size(), 20);
  EXPECT_EQ(ev[3], "");
  EXPECT_EQ(ev[4], "-> Added file " + QString::fromStdString(Media().Flac));
  // The list is shown with its first row selected; the WAV row locks the profile box.
  EXPECT_EQ(Form->ListPages->currentWidget(), Form->sgList);
  EXPECT_EQ(Flow->List->SelectedFile(), 0);
  EXPECT_FALSE(Form->cmbProfile->isEnabled());
  EXPECT_TRUE(Form->EditButton->isEnabled());
  EXPECT_TRUE(Form->ClipButton->isEnabled());
  // The dialog's folder is remembered for the settings.
  ASSERT_TRUE(Form->OpenDialogLastFolder.has_value());
  EXPECT_EQ(*Form->OpenDialogLastFolder, Media().Dir.Path().string());

  // Adding while row 2 is selected keeps that selection and re-applies it.
  SelectRow(1);
  AddFiles({Media().Wav1});
  EXPECT_EQ(Flow->List->SelectedFile(), 1);
  EXPECT_TRUE(Form->cmbProfile->isEnabled());
}

// The model tester's complaints, counted.
int GModelTestFailures = 0;
void CountModelTestFailures(QtMsgType AType, const QMessageLogContext& AContext, const QString& AText) {
  if (AContext.category && std::string(AContext.category) == "qt.modeltest") {
    ++GModelTestFailures;
    ADD_FAILURE() << AText.toStdString();
  } else if (AType != QtDebugMsg) {
    std::fprintf(stderr, "%s\n", qPrintable(AText));
  }
}

TEST_F(WorkflowTest, ListOperations) {
  GModelTestFailures = 0;
  QtMessageHandler previous = qInstallMessageHandler(CountModelTestFailures);
  QAbstractItemModelTester tester(Model(), QAbstractItemModelTester::FailureReportingMode::Warning);
  enum TOp { opRemoveButton, opRemoveItem, opUp, opDown, opClearAll };
  const struct {
    int Files, Selected;
    TOp Op;
    QStringList Titles;
    int SelectedAfter;
    bool ControlsEnabled;
  } cases[] = {
      {3, 1, opRemoveButton, {"one", "mono"}, 1, true},
      {3, 0, opRemoveItem, {"two.final", "mono"}, 0, true},
      {3, 2, opRemoveItem, {"one", "two.final"}, 1, true},
      {2, 0, opRemoveButton, {"two.final"}, 0, true},
      {1, 0, opRemoveButton, {}, -1, false}, // the only file: Clear All
      {3, 0, opUp, {"one", "two.final", "mono"}, 0, true},
      {3, 2, opUp, {"one", "mono", "two.final"}, 1, true},
      {3, 0, opDown, {"two.final", "one", "mono"}, 1, true},
      {3, 2, opDown, {"one", "two.final", "mono"}, 2, true},
      {3, 1, opClearAll, {}, -1, false},
  };
  const std::string files[] = {Media().Wav1, Media().Wav2, Media().Flac};
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Files << " files, row " << c.Selected << ", op " << c.Op);
    Form->ClearAll1->trigger();
    QStringList add;
    for (int i = 0; i < c.Files; ++i) add << QString::fromStdString(files[i]);
    AddByDialog(add);
    SelectRow(c.Selected);
    switch (c.Op) {
    case opRemoveButton:
      Form->EditButton->click();
      break;
    case opRemoveItem:
      Form->Remove1->trigger();
      break;
    case opUp:
      Form->MoveUp1->trigger();
      break;
    case opDown:
      Form->MoveDown1->trigger();
      break;
    case opClearAll:
      Form->ClearAll1->trigger();
      break;
    }
    EXPECT_EQ(Column(3), c.Titles);
    EXPECT_EQ(Flow->List->SelectedFile(), c.SelectedAfter);
    EXPECT_EQ(Form->EditButton->isEnabled(), c.ControlsEnabled);
    EXPECT_EQ(Form->ClipButton->isEnabled(), c.ControlsEnabled);
    for (QAction* a : {Form->Remove1, Form->ClearAll1, Form->Rename1, Form->MoveUp1, Form->MoveDown1,
                       Form->ClipVideo1, Form->FileInformation1})
      EXPECT_EQ(a->isEnabled(), c.ControlsEnabled) << a->text().toStdString();
  }
  EXPECT_TRUE(Watcher->Boxes.isEmpty());
  qInstallMessageHandler(previous);
  EXPECT_EQ(GModelTestFailures, 0);
}

TEST_F(WorkflowTest, TitleEditorStoresIntoItsOwnRow) {
  AddFiles({Media().Wav1, Media().Wav2, Media().Flac});
  SelectRow(1);
  Form->Rename1->trigger();
  QLineEdit* ed = Flow->List->edDestinationTitle();
  ASSERT_TRUE(ed->isVisible());
  EXPECT_EQ(ed->text(), "two.final");
  EXPECT_EQ(ed->selectedText(), "two.final");
  QRect cell = Form->sgList->visualRect(Model()->index(1, TFileListModel::colDestination));
  EXPECT_EQ(ed->geometry().topLeft(), QPoint(cell.left(), cell.top() - 1));
  EXPECT_EQ(ed->width(), Form->sgList->columnWidth(3));
  ed->setText("renamed");
  // The selection moves on before the editor loses its focus.
  SelectRow(0);
  ed->clearFocus();
  emit ed->editingFinished();
  EXPECT_FALSE(ed->isVisible());
  EXPECT_EQ(Column(3), QStringList({"one", "renamed", "mono"}));

  // A press on column 3 opens it for that row; Enter stores an empty title.
  QPoint at = Form->sgList->visualRect(Model()->index(2, 3)).center();
  QTest::mouseClick(Form->sgList->viewport(), Qt::LeftButton, {}, at);
  QTest::qWait(20);
  ASSERT_TRUE(ed->isVisible());
  EXPECT_EQ(ed->text(), "mono");
  ed->clear();
  QTest::keyClick(ed, Qt::Key_Return);
  EXPECT_FALSE(ed->isVisible());
  EXPECT_EQ(Column(3), QStringList({"one", "renamed", ""}));
  // An empty title paints an empty cell: the list still paints.
  QImage shot = Form->sgList->grab().toImage();
  EXPECT_FALSE(shot.isNull());
}

TEST_F(WorkflowTest, FlacLock) {
  std::string upper = Out->Path() / "LOUD.FLAC";
  fs::copy_file(Media().Flac, upper);
  AddFiles({Media().Flac, upper, Media().Mp3});
  ASSERT_EQ(Model()->rowCount(), 3);
  const struct {
    int Row;
    bool BoxEnabled;
  } cases[] = {{0, true}, {1, true}, {2, false}};
  for (auto& c : cases) {
    ChooseMp3ForAll(0);
    EXPECT_EQ(Column(4), QStringList({".mp3", ".mp3", ".mp3"})); // "Apply to all" is checked
    SelectRow(c.Row);
    EXPECT_EQ(Form->cmbProfile->isEnabled(), c.BoxEnabled) << c.Row;
    // A FLAC input keeps its profile; any other converts with the first FLAC profile.
    QString want = c.BoxEnabled ? ".mp3" : ".flac";
    EXPECT_EQ(Column(4), QStringList({want, want, want})) << c.Row;
    EXPECT_EQ(Form->CurrentProfileInd, c.BoxEnabled ? 1 : 0);
  }
  // With "Apply to all" unchecked a profile choice changes only the selected file.
  Form->chApplyToAll->setChecked(false);
  SelectRow(0);
  Form->cmbProfile->setCurrentIndex(0);
  emit Form->cmbProfile->activated(0);
  ChooseMp3ForAll(1);
  EXPECT_EQ(Column(4), QStringList({".flac", ".mp3", ".flac"}));
  EXPECT_EQ(Column(2)[1], "0.05 MB"); // 192000 b/s for 2 s
}

TEST_F(WorkflowTest, RunWithoutMergeConvertsEachFileIntoTheOutputFolder) {
  AddFiles({Media().Flac, Media().Wav2});
  ChooseMp3ForAll(0);
  // The second row converts only 0.5 s .. 1.0 s.
  Model()->SetTrim(1, 500'000, 1'000'000);
  EXPECT_EQ(Column(1), QStringList({"00:00:02", "00:00:00"}));
  Start();

  EXPECT_TRUE(Watcher->Reports.isEmpty()) << Watcher->Reports.join("\n").toStdString();
  EXPECT_TRUE(Watcher->Boxes.isEmpty()) << Watcher->Boxes.join("\n").toStdString();
  TProbe a = Probe(Out->Path() / "mono.mp3");
  EXPECT_EQ(a.Codec, "mp3");
  EXPECT_EQ(a.SampleRate, 44100);
  EXPECT_EQ(a.Channels, 2);
  EXPECT_NEAR(a.Duration, 2.0, 0.08);
  TProbe b = Probe(Out->Path() / "two.final.mp3");
  EXPECT_EQ(b.Codec, "mp3");
  EXPECT_EQ(b.SampleRate, 44100);
  EXPECT_NEAR(b.Duration, 0.5, 0.08);

  QStringList ev = Events();
  QStringList want = {"-> Added file " + QString::fromStdString(Media().Flac),
                      "-> Added file " + QString::fromStdString(Media().Wav2), "-> Started conversion",
                      "-> Conversion successfully done."};
  EXPECT_EQ(ev, want);
  // The progress window closed; the open command got the output folder.
  EXPECT_FALSE(Flow->ConvForm->isVisible());
  EXPECT_EQ(WaitForFile(HomePath("open.log")), Out->Path().string() + "\n");
  EXPECT_FALSE(fs::exists(HomePath("shutdown.log")));
}

TEST_F(WorkflowTest, MergedRunJoinsThreeFiles) {
  AddFiles({Media().Wav1, Media().Wav2, Media().Flac});
  Form->chMerge->setChecked(true);
  Model()->SetTrim(0, 200'000, 400'000); // merge ignores trims
  SelectRow(2);
  Start();
  EXPECT_TRUE(Watcher->Reports.isEmpty()) << Watcher->Reports.join("\n").toStdString();
  TProbe j = Probe(Out->Path() / "Joined.flac");
  EXPECT_EQ(j.Codec, "flac");
  EXPECT_EQ(j.SampleRate, 44100);
  EXPECT_EQ(j.Channels, 2);
  EXPECT_NEAR(j.Duration, 1.0 + 1.5 + 2.0, 0.03);
  EXPECT_EQ(std::distance(fs::directory_iterator(Out->Path()), fs::directory_iterator()), 1);
  EXPECT_EQ(Events().last(), "-> Conversion successfully done.");
}

TEST_F(WorkflowTest, MergeTakesAtMostTwentyFiles) {
  std::string tiny = Out->Path() / "tiny.wav";
  MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.25", "-ac", "1", "-ar", "8000", tiny});
  fs::path out = Out->Path() / "out";
  fs::create_directory(out);
  Form->edDestinationFolder->setText(QString::fromStdString(out.string()));
  QStringList files;
  for (int i = 0; i < 21; ++i) files << QString::fromStdString(tiny);
  Flow->Adder->AddFiles(files);
  ASSERT_EQ(Model()->rowCount(), 21);
  Form->chMerge->setChecked(true);
  Start();
  EXPECT_EQ(Watcher->Boxes, QStringList({"Cannot merge more than 20 files."}));
  EXPECT_FALSE(Events().contains("-> Started conversion"));
  EXPECT_FALSE(fs::exists(out / "Joined.flac"));

  SelectRow(20);
  Form->Remove1->trigger();
  Start();
  EXPECT_EQ(Watcher->Boxes.size(), 1);
  EXPECT_NEAR(Probe((out / "Joined.flac").string()).Duration, 20 * 0.25, 0.03);
}

TEST_F(WorkflowTest, MissingOutputFolderFallsBack) {
  AddFiles({Media().Wav1});
  Form->edDestinationFolder->setText("/nonexistent/sondel/out");
  std::string fallback = HomePath("tavrik_temp");
  // The fallback cannot be made while a file holds its name.
  WriteFile(fallback, "x");
  Start();
  EXPECT_EQ(
      Watcher->Boxes,
      QStringList({"Output folder does not exit. Converting to \"" + QString::fromStdString(fallback) + "\".",
                   "Could not create temporary directory. Please choose another output folder."}));
  EXPECT_FALSE(Events().contains("-> Started conversion"));
  fs::remove(fallback);

  Watcher->Boxes.clear();
  Start();
  EXPECT_EQ(Watcher->Boxes.size(), 1);
  EXPECT_EQ(Probe(fallback + "/one.flac").Codec, "flac");
  // The box keeps the user's text; the folder opened is the one written to.
  EXPECT_EQ(Form->edDestinationFolder->text(), "/nonexistent/sondel/out");
  EXPECT_EQ(WaitForFile(HomePath("open.log")), fallback + "\n");
}

TEST_F(WorkflowTest, ConvertingIntoTheSourceFolderKeepsTheSource) {
  std::string source = Out->Path() / "keep.flac";
  fs::copy_file(Media().Flac, source);
  std::string before = ReadFile(source);
  AddFiles({source, source});
  Start();
  EXPECT_EQ(ReadFile(source), before);
  EXPECT_EQ(Probe(Out->Path() / "keep (1).flac").Codec, "flac");
  EXPECT_EQ(Probe(Out->Path() / "keep (2).flac").Channels, 2);
  EXPECT_EQ(Events().last(), "-> Conversion successfully done.");
}

TEST_F(WorkflowTest, AFailingFileIsReportedAndTheRunGoesOn) {
  std::string gone = Out->Path() / "gone.wav";
  fs::copy_file(Media().Wav2, gone);
  fs::path out = Out->Path() / "out";
  fs::create_directory(out);
  Form->edDestinationFolder->setText(QString::fromStdString(out.string()));
  AddFiles({Media().Wav1, gone, Media().Flac});
  fs::remove(gone);
  Start();
  ASSERT_EQ(Watcher->Marks.size(), 1) << Watcher->Marks.join("\n").toStdString();
  EXPECT_TRUE(Watcher->Marks[0].startsWith("CLM_FFAddTaskToMerged: ")) << Watcher->Marks[0].toStdString();
  QString message = Watcher->Reports.value(0);
  EXPECT_FALSE(message.isEmpty());
  EXPECT_TRUE(fs::exists(out / "one.flac"));
  EXPECT_TRUE(fs::exists(out / "mono.flac"));
  EXPECT_FALSE(fs::exists(out / "gone.flac"));
  QStringList ev = Events();
  ASSERT_GE(ev.size(), 3);
  EXPECT_EQ(ev.mid(ev.size() - 3),
            QStringList({"-> " + message, "-> Started conversion", "-> Conversion finished with errors."}));
}

TEST_F(WorkflowTest, CancelStopsThePausedRunWithoutShuttingDown) {
  AddFiles({Media().Long()});
  ChooseMp3ForAll(0);
  Flow->ConvForm->cbShutdownPC->setChecked(true);
  Flow->Vornel.SetProgressInterval(100);
  QStringList captions;
  bool paused = false;
  Watcher->OnModal = [&](QWidget* w) {
    TConvForm* f = Flow->ConvForm;
    if (w != f || f->ProgressCurrent->value() == 0 || !f->CancelButton->isEnabled()) return;
    for (int i = 0; i < 3; ++i) {
      f->PauseButton->click();
      captions << f->PauseButton->text();
    }
    paused = Flow->Vornel.Paused();
    f->CancelButton->click();
  };
  Start();
  EXPECT_EQ(captions, QStringList({"Resume", "Pause", "Resume"}));
  EXPECT_TRUE(paused);
  QStringList ev = Events();
  ASSERT_GE(ev.size(), 2);
  EXPECT_EQ(ev.mid(ev.size() - 2),
            QStringList({"-> Conversion cancelled by user", "-> Conversion cancelled."}));
  EXPECT_FALSE(Flow->ConvForm->isVisible());
  QTest::qWait(200);
  EXPECT_FALSE(fs::exists(HomePath("shutdown.log")));

  // The next run starts with "Pause" on the button.
  Flow->ConvForm->cbShutdownPC->setChecked(false);
  Form->ClearAll1->trigger();
  AddFiles({Media().Wav1});
  Watcher->OnModal = nullptr;
  TShowSpy spy;
  QString caption;
  spy.OnShow = [&] { caption = Flow->ConvForm->PauseButton->text(); };
  Flow->ConvForm->installEventFilter(&spy);
  Start();
  EXPECT_EQ(caption, "Pause") << Watcher->Boxes.join("\n").toStdString() << Events().join("\n").toStdString();
}

TEST_F(WorkflowTest, ShutDownAfterTheRunSavesTheSettingsAndDoesNotOpenTheFolder) {
  AddFiles({Media().Wav1});
  Flow->ConvForm->cbShutdownPC->setChecked(true);
  ASSERT_TRUE(Flow->ConvForm->cbOpenOutput->isChecked());
  Start();
  EXPECT_EQ(WaitForFile(HomePath("shutdown.log")), "saved\n");
  TSettingsGroup g;
  ASSERT_TRUE(Settings->ReadGroup("Tavrik Sondel", g));
  EXPECT_EQ(g.String("OutputPath").value_or(""), Out->Path().string());
  QTest::qWait(300);
  EXPECT_FALSE(fs::exists(HomePath("open.log")));
  EXPECT_TRUE(fs::exists(Out->Path() / "one.flac"));
  EXPECT_FALSE(Events().contains("-> Conversion successfully done."));
}

TEST_F(WorkflowTest, ProgressGaugesMoveUpToTheEnd) {
  AddFiles({Media().Long()});
  ChooseMp3ForAll(0);
  Flow->ConvForm->cbOpenOutput->setChecked(false);
  Flow->Vornel.SetProgressInterval(100);
  std::vector<int> current, total;
  std::vector<QString> titles;
  QObject::connect(Flow->ConvForm->ProgressCurrent, &QProgressBar::valueChanged,
                   [&](int v) { current.push_back(v); });
  QObject::connect(Flow->ConvForm->ProgressTotal, &QProgressBar::valueChanged,
                   [&](int v) { total.push_back(v); });
  QObject::connect(Flow->ConvForm->ProgressTotal, &QProgressBar::valueChanged,
                   [&](int) { titles.push_back(Flow->ConvForm->lblConvertingTitle->text()); });
  Start();
  EXPECT_GE(current.size(), 3u);
  ASSERT_FALSE(total.empty());
  EXPECT_TRUE(std::is_sorted(current.begin(), current.end()));
  EXPECT_TRUE(std::is_sorted(total.begin(), total.end()));
  EXPECT_EQ(current.back(), 100);
  EXPECT_EQ(total.back(), 100);
  EXPECT_EQ(titles.front(), "Converting \"long.flac\" to \"long.mp3\"");
  EXPECT_EQ(Probe(Out->Path() / "long.mp3").Codec, "mp3");
  QTest::qWait(200);
  EXPECT_FALSE(fs::exists(HomePath("open.log")));
}

TEST_F(WorkflowTest, DroppedFoldersAndCommandLineFiles) {
  fs::path folder = Out->Path() / "drop";
  fs::create_directories(folder / "sub");
  fs::copy_file(Media().Wav1, folder / "b.wav");
  fs::copy_file(Media().Mp3, folder / "sub" / "A.MP3");
  WriteFile((folder / "notes.txt").string(), "text");
  QWidget* target = Form->ListPages->currentWidget() == Form->sgList ? Form->sgList->viewport()
                                                                     : Form->ListPages->currentWidget();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder.string()))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  EXPECT_TRUE(drop.isAccepted());
  QTest::qWait(50);
  EXPECT_EQ(Column(0), QStringList({"b.wav", "A.MP3"}));

  Flow->AddCommandLineFiles({QString::fromStdString(Media().Flac), "/nonexistent/x.wav"});
  EXPECT_EQ(Column(0), QStringList({"b.wav", "A.MP3", "mono.flac"}));
  EXPECT_EQ(Watcher->Boxes,
            QStringList({"File x.wav is not a valid media file or its format is not supported."}));
}

// A scripted session to look at, run under Xvfb by WorkflowScreenshots: the
// main window with its list and the progress window during a run are saved
// into SONDEL_SCREENSHOT_DIR as PNG files.
TEST_F(WorkflowTest, Screenshots) {
  const char* dir = std::getenv("SONDEL_SCREENSHOT_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "runs under xvfb-run from WorkflowScreenshots.UnderXvfb";
  fs::create_directories(dir);
  QString folder = QString::fromLocal8Bit(dir);
  AddFiles({Media().Long(), Media().Flac, Media().Wav1, Media().Wav2});
  ChooseMp3ForAll(0);
  Flow->ConvForm->cbOpenOutput->setChecked(false);
  Flow->Vornel.SetProgressInterval(100);
  QTest::qWait(300);
  QPixmap main = Form->screen()->grabWindow(Form->winId());
  if (main.isNull() || main.width() < 100) main = Form->grab();
  EXPECT_TRUE(main.save(folder + "/workflow-main.png"));
  QPixmap list = Form->sgList->grab();
  EXPECT_TRUE(list.save(folder + "/workflow-list.png"));

  bool shot = false;
  Watcher->OnModal = [&](QWidget* w) {
    TConvForm* f = Flow->ConvForm;
    if (shot || w != f || f->ProgressCurrent->value() < 25) return;
    shot = true;
    QPixmap p = f->screen()->grabWindow(f->winId());
    if (p.isNull() || p.width() < 100) p = f->grab();
    EXPECT_EQ(f->size(), QSize(386, 205));
    EXPECT_TRUE(p.save(folder + "/workflow-progress.png"));
  };
  Start();
  EXPECT_TRUE(shot);
  EXPECT_TRUE(fs::exists(fs::path(dir) / "workflow-progress.png"));
  EXPECT_EQ(Events().last(), "-> Conversion successfully done.");
}

// Without the preview player's audio-output library no file is added, even
// though the probe would open it.
TEST_F(WorkflowTest, NoFileIsAddedWithoutTheAudioOutputLibrary) {
  fs::create_directories(Out->Path() / "app" / "LibAV");
  WriteFile(Out->Path() / "app/LibAV/libSDL-1.2.so.0", "not a library");
  Form->AppFolder = Out->Path().string() + "/app/";
  bool asked = false;
  Flow->Adder->ChooseFiles = [&] {
    asked = true;
    return QStringList{QString::fromStdString(Media().Wav1)};
  };
  Form->AddButton->click();
  EXPECT_FALSE(asked);
  EXPECT_EQ(Model()->rowCount(), 0);
  EXPECT_EQ(Watcher->Marks, QStringList({"CLM_SDlLibLoad: Error loading SDL library"}));
  QStringList ev = Events();
  ASSERT_EQ(ev.size(), 1);
  EXPECT_FALSE(ev[0].isEmpty());
  EXPECT_FALSE(ev[0].startsWith("-> ")); // the player's message as it stands
}

// A task that fails while it runs is reported; the other tasks go on and the
// progress window stays until the run's end.
TEST_F(WorkflowTest, ATaskFailingWhileRunning) {
  AddFiles({Media().Wav1, Media().Wav2});
  // The first output cannot be written: its name leads to a full device.
  fs::create_symlink("/dev/full", Out->Path() / "one.flac");
  Start();
  EXPECT_EQ(Watcher->Marks.size(), 1) << Watcher->Marks.join("\n").toStdString();
  for (const QString& m : Watcher->Marks)
    EXPECT_TRUE(m.startsWith("CLM_Terminate: Conversion terminated with error: ")) << m.toStdString();
  QStringList ev = Events();
  EXPECT_EQ(ev.last(), "-> Conversion finished with errors.") << ev.join("\n").toStdString();
  EXPECT_EQ(ev.filter("-> Conversion terminated with error: ").size(), 1);
  EXPECT_EQ(Probe(Out->Path() / "two.final.flac").Codec, "flac");
  EXPECT_FALSE(Flow->ConvForm->isVisible());
}

// The scripted session on a real X server; the pictures stay in
// <build>/screenshots/workflow-*.png.
TEST(WorkflowScreenshots, UnderXvfb) {
  if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) GTEST_SKIP() << "xvfb-run is not installed";
  const char* bin = std::getenv("SONDEL_TEST_BIN");
  std::string dir = (fs::path(bin ? bin : ".") / ".." / "screenshots").lexically_normal().string();
  fs::create_directories(dir);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  setenv("SONDEL_SCREENSHOT_DIR", dir.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  auto r = RunProgram(
      {"xvfb-run", "-a", "-s", "-screen 0 1024x768x24", self, "--gtest_filter=WorkflowTest.Screenshots"},
      120);
  unsetenv("SONDEL_SCREENSHOT_DIR");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
  ASSERT_NE(r.Out.find("[  PASSED  ] 1 test"), std::string::npos) << r.Out;
  for (const char* name : {"workflow-main", "workflow-list", "workflow-progress"}) {
    QImage img(QString::fromStdString(dir + "/" + name + ".png"));
    EXPECT_FALSE(img.isNull()) << name;
  }
}

// The open dialog: its title, filter (capitals too), multiple existing files,
// the initial folder; the chosen file is added and its folder remembered.
TEST_F(WorkflowTest, OpenFileDialog) {
  fs::path music = Out->Path() / "Music";
  fs::create_directories(music);
  fs::copy_file(Media().Mp3, music / "LOUD.MP3");
  Form->OpenDialogInitialFolder = QString::fromStdString(music.string());
  Flow->Adder->ChooseFiles = [this] { return Flow->Adder->RunOpenDialog(); };
  QString title, filter;
  int mode = -1;
  QString folder;
  Watcher->OnModal = [&](QWidget* w) {
    auto* d = qobject_cast<QFileDialog*>(w);
    if (!d || !title.isEmpty()) return;
    title = d->windowTitle();
    filter = d->selectedNameFilter();
    mode = d->fileMode();
    folder = d->directory().absolutePath();
    d->selectFile(QString::fromStdString((music / "LOUD.MP3").string()));
    QMetaObject::invokeMethod(d, "accept");
  };
  Form->AddButton->click();
  EXPECT_EQ(title, "Open file");
  EXPECT_EQ(mode, QFileDialog::ExistingFiles);
  EXPECT_TRUE(filter.startsWith("All Supported Formats (*.aac *.AAC ")) << filter.toStdString();
  EXPECT_TRUE(filter.contains(" *.mp3 *.MP3 ")) << filter.toStdString();
  EXPECT_EQ(folder, QString::fromStdString(music.string()));
  EXPECT_EQ(Column(0), QStringList({"LOUD.MP3"}));
  EXPECT_EQ(Form->OpenDialogLastFolder.value_or(""), music.string());
}
