// The main window: start-up, menus and buttons, the output-profile panel, the
// file list's frame, settings at start and close.
#pragma once

#include <QComboBox>
#include <QMainWindow>
#include <QTableView>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/ProfileUsers.h"
#include "app/Profiles.h"
#include "platform/Settings.h"
#include "platform/ShellOpen.h"
#include "platform/UserFolders.h"

class QAbstractItemModel;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QToolButton;
class TAboutForm;
class TErrorReporter;

// A drop-down that reports every close-up of its list, changed or not.
class TCloseUpComboBox : public QComboBox {
  Q_OBJECT
public:
  using QComboBox::QComboBox;
  void showPopup() override;
  void hidePopup() override;
signals:
  void closedUp();

private:
  bool FPopupOpen = false;
};

// The file list's view; it paints the light column lines itself.
class TListView : public QTableView {
  Q_OBJECT
public:
  using QTableView::QTableView;
  static constexpr QRgb ColumnLineColor = 0xE6E6E6;
  // The x positions (viewport) of the six column lines.
  std::vector<int> ColumnLinePositions() const;

protected:
  void paintEvent(QPaintEvent* AEvent) override;
};

struct TAppServices {
  TAppPaths Paths;
  ISettingsStore* Settings = nullptr;
  IUserFolders* Folders = nullptr;
  IShellOpener* Opener = nullptr;
  std::function<bool(const std::string& AFolder, std::string& AErrMsg)> LoadMediaLibraries =
      ::LoadMediaLibraries;
  std::function<bool()> MediaLibrariesLoaded = ::MediaLibrariesLoaded;
};

class TMainForm : public QMainWindow {
  Q_OBJECT
public:
  TMainForm(TAppServices AServices, TErrorReporter* AReporter, QWidget* AParent = nullptr);
  ~TMainForm() override;

  // The start-up steps; run once the events log and the error window exist.
  void FormCreate();
  // Writes the settings (at close, and before an automatic shut-down).
  void SaveSettings();

  void SetAboutForm(TAboutForm* AForm) { FAboutForm = AForm; }
  // The file list the profile panel acts on (the main window does not own it).
  void SetProfileUsers(IProfileUsers* AUsers);
  // Selecting a profile from code runs cmbProfileClick as a user's choice does.
  void SelectProfile(int AIndex);
  // After files were added: hides the getting-started picture, shows the
  // list and enables the list's controls.
  void ListFilesAdded();
  // The list model shown in sgList (the window keeps its own header model
  // until one is given).
  void SetListModel(QAbstractItemModel* AModel);

  // Application state.
  std::string TempFolder;
  std::string AppFolder;
  std::vector<TProfile> Profiles;
  int CurrentProfileInd = 0;
  int RecentProfileInd = 0;
  int LastEditedProfileInd = -1;
  QString OpenDialogFilter;
  QString OpenDialogInitialFolder;
  // Folder of the first file of the latest accepted add-files dialog.
  std::optional<std::string> OpenDialogLastFolder;
  std::string OutputFolder;
  bool ProfilesLoaded() const { return FProfilesLoaded; }
  bool SettingsRead() const { return FSettingsRead; }

  // Controls (names as the handlers use them).
  QPushButton* AddButton;
  QPushButton* EditButton;
  QPushButton* ClipButton;
  QPushButton* StartButton;
  QPushButton* SupportButton;
  QToolButton* PlayButton;
  QToolButton* PauseButton;
  QToolButton* StopButton;
  QSlider* VideoTrackBar;
  QSlider* VolumeTrackBar;
  QLabel* lblPlayTime;
  QStackedWidget* ListPages;
  QWidget* GettingStartedPanel;
  QLabel* GettingStartedImage;
  TListView* sgList;
  QWidget* panPreview;
  QGroupBox* OutputSettings;
  QComboBox* cmbProfile;
  TCloseUpComboBox* cmbSampleRate;
  TCloseUpComboBox* cmbAudioBitRate;
  TCloseUpComboBox* cmbChannel;
  TCloseUpComboBox* cmbAudioEncoder;
  QSpinBox* edVolume;
  QCheckBox* chApplyToAll;
  QCheckBox* chMerge;
  QLineEdit* edDestinationFolder;
  QPushButton* spSkinButton1;
  QPushButton* spSkinButton3;
  QMenu* ListMenu;
  // Menu items.
  QAction *Openaudio1, *Someitem31, *Close1, *Exit1;
  QAction *Item11, *Item21, *Item31, *MoveUp2, *MoveDown2, *ClipVideo2;
  QAction* oolsitem11;
  QAction *Help2, *Support1, *ProductPage1, *About1;
  QAction *AddVideoFiles1, *Remove1, *ClearAll1, *Rename1, *MoveUp1, *MoveDown1, *ClipVideo1,
      *FileInformation1;

public slots:
  // Output profiles.
  void cmbProfileClick();
  void FillProfileCombos();
  void ApplyCombosToProfile();
  void cmbSampleRateCloseUp() { ApplyCombosToProfile(); }
  void cmbAudioBitRateCloseUp() { ApplyCombosToProfile(); }
  void cmbChannelCloseUp() { ApplyCombosToProfile(); }
  void cmbAudioEncoderCloseUp() { ApplyCombosToProfile(); }
  void chApplyToAllClick();
  void edVolumeChange() {}
  void chMergeClick() {}
  void spSkinButton1Click();
  void spSkinButton3Click();
  // Menus and buttons of the window itself.
  void Exit1Click();
  void oolsitem11Click();
  void Help2Click();
  void Support1Click();
  void ProductPage1Click();
  void About1Click();
  void SupportButtonClick() { Support1Click(); }
  void ClearAll1Click();

signals:
  // The list's operations, the conversion and the preview are handled by
  // their own units, which connect here.
  void AddButtonClick();
  void StartButtonClick();
  void Remove1Click();
  void Rename1Click();
  void MoveUp1Click();
  void MoveDown1Click();
  void ClipButtonClick();
  void FileInformation1Click();
  void PlayButtonClick();
  void PauseButtonClick();
  void StopButtonClick();
  // FormClose: the preview stops before the settings are written.
  void StopPreview();

protected:
  void closeEvent(QCloseEvent* AEvent) override;

private:
  void BuildMenus();
  void BuildControls();
  void SetListControlsEnabled(bool AEnabled);
  void OpenPage(const std::string& AAddress);
  void ShowErrorReport(const QString& AMessage, const QString& AMark);
  TAppServices FServices;
  TErrorReporter* FReporter;
  TAboutForm* FAboutForm = nullptr;
  IProfileUsers* FUsers;
  TNoProfileUsers FNoUsers;
  QAbstractItemModel* FHeaderModel;
  bool FProfilesLoaded = false;
  bool FSettingsRead = false;
  bool FClosed = false;
};
