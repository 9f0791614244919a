// Pictures of every window on a real X server (Xvfb): the test runs itself
// again under xvfb-run with the xcb platform, once at scale 1 and once at
// scale 2, and leaves the PNGs in <build>/screenshots/.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <cstdlib>
#include <filesystem>

#include "tests/app/qt_test_app.h"

namespace fs = std::filesystem;
using qttest::TTestApp;

namespace {

std::string ScreenshotFolder() {
  const char* bin = std::getenv("SONDEL_TEST_BIN");
  return (fs::path(bin ? bin : ".") / ".." / "screenshots").lexically_normal().string();
}

void Settle() {
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QThread::msleep(15);
  }
}

// What the X server shows of the window.
bool Shoot(QWidget& AWindow, const std::string& AFile) {
  AWindow.show();
  AWindow.raise();
  Settle();
  QScreen* screen = AWindow.screen();
  QPixmap shot = screen->grabWindow(AWindow.winId());
  if (shot.isNull()) shot = AWindow.grab();
  return shot.save(QString::fromStdString(AFile), "PNG");
}

} // namespace

// The part that runs inside Xvfb.
TEST(ScreenshotWindows, Capture) {
  const char* out = std::getenv("SONDEL_SCREENSHOT_DIR");
  if (!out) GTEST_SKIP() << "runs under xvfb-run from Screenshots.EachWindowUnderXvfb";
  std::string suffix = std::getenv("SONDEL_SCREENSHOT_SUFFIX") ? std::getenv("SONDEL_SCREENSHOT_SUFFIX") : "";
  ASSERT_EQ(qttest::App().platformName(), "xcb");
  TTestApp app;
  const char* bin = std::getenv("SONDEL_TEST_BIN");
  for (const char* f : {"formats.dat", "gs.bmp", "logo.bmp"}) {
    fs::path src = fs::path(bin ? bin : ".") / "sondel-profiles" / f;
    if (fs::exists(src))
      fs::copy_file(src, app.AppDir / "sondel-profiles" / f, fs::copy_options::overwrite_existing);
  }
  TMainForm& w = app.Start();
  auto path = [&](const char* AName) { return std::string(out) + "/" + AName + suffix + ".png"; };
  ASSERT_TRUE(Shoot(w, path("main")));
  w.ListFilesAdded();
  ASSERT_TRUE(Shoot(w, path("main-list")));
  app.LogForm->AddEventLine("Added file /home/user/Music/first song.flac");
  app.LogForm->AddEventLine("Started conversion");
  app.LogForm->AddEventLine("Conversion successfully done.");
  ASSERT_TRUE(Shoot(*app.LogForm, path("log")));
  app.LogForm->hide();
  app.ErrorForm->lblErrorText->setText("Cannot set output file: Permission denied");
  ASSERT_TRUE(Shoot(*app.ErrorForm, path("error")));
  app.ErrorForm->hide();
  ASSERT_TRUE(Shoot(*app.About, path("about")));
  app.About->hide();
}

TEST(Screenshots, EachWindowUnderXvfb) {
  if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) GTEST_SKIP() << "xvfb-run is not installed";
  std::string dir = ScreenshotFolder();
  fs::create_directories(dir);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  for (const char* scale : {"1", "2"}) {
    SCOPED_TRACE(scale);
    setenv("SONDEL_SCREENSHOT_DIR", dir.c_str(), 1);
    setenv("SONDEL_SCREENSHOT_SUFFIX", std::string(scale) == "1" ? "" : "@2x", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("QT_SCALE_FACTOR", scale, 1);
    auto r = testsupport::RunProgram(
        {"xvfb-run", "-a", "-s", "-screen 0 1600x1200x24", self, "--gtest_filter=ScreenshotWindows.Capture"},
        120);
    unsetenv("SONDEL_SCREENSHOT_DIR");
    unsetenv("SONDEL_SCREENSHOT_SUFFIX");
    unsetenv("QT_SCALE_FACTOR");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    ASSERT_NE(r.Out.find("[  PASSED  ] 1 test"), std::string::npos) << r.Out;
  }
  // Every window was captured; the main window has its base size, doubled at scale 2.
  for (const char* name : {"main", "main-list", "log", "error", "about"}) {
    QImage img(QString::fromStdString(dir + "/" + name + ".png"));
    EXPECT_FALSE(img.isNull()) << name;
  }
  QImage main(QString::fromStdString(dir + "/main.png"));
  QImage main2(QString::fromStdString(dir + "/main@2x.png"));
  EXPECT_EQ(main.size(), QSize(594, 438));
  EXPECT_EQ(main2.size(), QSize(1188, 876));
  // Not a blank picture: the main window shows many colours.
  QSet<QRgb> colours;
  for (int y = 0; y < main.height(); y += 3)
    for (int x = 0; x < main.width(); x += 3) colours.insert(main.pixel(x, y));
  EXPECT_GT(colours.size(), 20);
}
