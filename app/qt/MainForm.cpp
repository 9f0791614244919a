#include "app/qt/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Settings.h"
#include "app/qt/AboutForm.h"
#include "app/qt/LogForm.h"
#include "app/qt/Reporting.h"

namespace {

constexpr int ColumnWidths[] = {132, 92, 87, 115, 48};
const char* const ColumnCaptions[] = {"Source", "Trimmed Length", "Estimated Size", "Destination File",
                                      "Format"};

// A check box whose caption wraps onto a second line in a narrow panel.
class TWrapCheckBox : public QCheckBox {
public:
  using QCheckBox::QCheckBox;
  QSize sizeHint() const override {
    int w = width() > 0 ? width() : 160;
    QRect r = fontMetrics().boundingRect(QRect(0, 0, w - TextLeft(), 1000), Qt::TextWordWrap, text());
    return {w, std::max(r.height() + 2, QCheckBox::sizeHint().height())};
  }
  int heightForWidth(int AWidth) const override {
    QRect r = fontMetrics().boundingRect(QRect(0, 0, AWidth - TextLeft(), 1000), Qt::TextWordWrap, text());
    return std::max(r.height() + 2, QCheckBox::sizeHint().height());
  }
  bool hasHeightForWidth() const override { return true; }

protected:
  int TextLeft() const {
    return style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this) +
           style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this);
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    QRect ind = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this);
    opt.rect = QRect(ind.left(), 1, ind.width(), ind.height());
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &opt, &p, this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(rect().adjusted(TextLeft(), 0, 0, 0), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text());
  }
  bool hitButton(const QPoint& APos) const override { return rect().contains(APos); }
};

QAction* MenuItem(QMenu* AMenu, const char* AName, const char* ACaption) {
  QAction* a = AMenu->addAction(ACaption);
  a->setObjectName(AName);
  return a;
}

QPushButton* Button(QWidget* AParent, const char* AName, const char* ACaption, QRect AGeometry) {
  auto* b = new QPushButton(ACaption, AParent);
  b->setObjectName(AName);
  b->setGeometry(AGeometry);
  return b;
}

} // namespace

void TCloseUpComboBox::showPopup() {
  FPopupOpen = true;
  QComboBox::showPopup();
}

void TCloseUpComboBox::hidePopup() {
  QComboBox::hidePopup();
  // Qt also calls this when the box is hidden with its list closed.
  if (!FPopupOpen) return;
  FPopupOpen = false;
  emit closedUp();
}

std::vector<int> TListView::ColumnLinePositions() const {
  std::vector<int> xs;
  QHeaderView* h = horizontalHeader();
  int x = h->sectionViewportPosition(0);
  if (h->count() == 0) x = -h->offset();
  for (int i = 0; i <= 5; ++i) {
    x += i < h->count() ? h->sectionSize(i) : h->defaultSectionSize();
    xs.push_back(x - 1);
  }
  return xs;
}

void TListView::paintEvent(QPaintEvent* AEvent) {
  QTableView::paintEvent(AEvent);
  QPainter p(viewport());
  p.setPen(QColor(ColumnLineColor));
  int bottom = viewport()->height();
  for (int x : ColumnLinePositions()) p.drawLine(x, 0, x, bottom);
}

TMainForm::TMainForm(TAppServices AServices, TErrorReporter* AReporter, QWidget* AParent)
    : QMainWindow(AParent), FServices(std::move(AServices)), FReporter(AReporter), FUsers(&FNoUsers) {
  setObjectName("MainForm");
  setWindowTitle("Tavrik Sondel");
  AppFolder = FServices.Paths.AppFolder;
  BuildControls();
  BuildMenus();
  SetListControlsEnabled(false);
  // The pop-up items start enabled; only the buttons wait for files.
  for (QAction* a : {Remove1, ClearAll1, Rename1, MoveUp1, MoveDown1, ClipVideo1, FileInformation1})
    a->setEnabled(true);
  setFixedSize(594, 438);
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildMenus() {
  QMenu* file = menuBar()->addMenu("File");
  Openaudio1 = MenuItem(file, "Openaudio1", "Add audio files");
  file->addSeparator();
  Someitem31 = MenuItem(file, "Someitem31", "File Information");
  Someitem31->setEnabled(false);
  Close1 = MenuItem(file, "Close1", "Start Conversion");
  file->addSeparator();
  Exit1 = MenuItem(file, "Exit1", "Exit");

  QMenu* edit = menuBar()->addMenu("Edit");
  Item11 = MenuItem(edit, "Item11", "Remove");
  Item21 = MenuItem(edit, "Item21", "Clear All");
  Item31 = MenuItem(edit, "Item31", "Rename");
  edit->addSeparator();
  MoveUp2 = MenuItem(edit, "MoveUp2", "Move Up");
  MoveDown2 = MenuItem(edit, "MoveDown2", "Move Down");
  edit->addSeparator();
  ClipVideo2 = MenuItem(edit, "ClipVideo2", "Edit Audio...");

  QMenu* tools = menuBar()->addMenu("Tools");
  oolsitem11 = MenuItem(tools, "oolsitem11", "Events Log");

  QMenu* help = menuBar()->addMenu("Help");
  Help2 = MenuItem(help, "Help2", "Online Guide");
  help->addSeparator();
  Support1 = MenuItem(help, "Support1", "Support");
  ProductPage1 = MenuItem(help, "ProductPage1", "Product Page");
  help->addSeparator();
  About1 = MenuItem(help, "About1", "About");

  ListMenu = new QMenu(this);
  ListMenu->setObjectName("ListMenu");
  AddVideoFiles1 = MenuItem(ListMenu, "AddVideoFiles1", "Add Files...");
  ListMenu->addSeparator();
  Remove1 = MenuItem(ListMenu, "Remove1", "Remove");
  ClearAll1 = MenuItem(ListMenu, "ClearAll1", "Clear All");
  Rename1 = MenuItem(ListMenu, "Rename1", "Rename");
  ListMenu->addSeparator();
  MoveUp1 = MenuItem(ListMenu, "MoveUp1", "Move Up");
  MoveDown1 = MenuItem(ListMenu, "MoveDown1", "Move Down");
  ListMenu->addSeparator();
  ClipVideo1 = MenuItem(ListMenu, "ClipVideo1", "Trim Audio...");
  ListMenu->addSeparator();
  FileInformation1 = MenuItem(ListMenu, "FileInformation1", "File Information");

  sgList->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(sgList, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { ListMenu->popup(sgList->viewport()->mapToGlobal(p)); });

  for (QAction* a : {Openaudio1, AddVideoFiles1})
    connect(a, &QAction::triggered, this, &TMainForm::AddButtonClick);
  connect(Close1, &QAction::triggered, this, &TMainForm::StartButtonClick);
  connect(Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);
  for (QAction* a : {Item11, Remove1}) connect(a, &QAction::triggered, this, &TMainForm::Remove1Click);
  for (QAction* a : {Item21, ClearAll1}) connect(a, &QAction::triggered, this, &TMainForm::ClearAll1Click);
  for (QAction* a : {Item31, Rename1}) connect(a, &QAction::triggered, this, &TMainForm::Rename1Click);
  for (QAction* a : {MoveUp2, MoveUp1}) connect(a, &QAction::triggered, this, &TMainForm::MoveUp1Click);
  for (QAction* a : {MoveDown2, MoveDown1}) connect(a, &QAction::triggered, this, &TMainForm::MoveDown1Click);
  for (QAction* a : {ClipVideo2, ClipVideo1})
    connect(a, &QAction::triggered, this, &TMainForm::ClipButtonClick);
  connect(FileInformation1, &QAction::triggered, this, &TMainForm::FileInformation1Click);
  connect(oolsitem11, &QAction::triggered, this, &TMainForm::oolsitem11Click);
  connect(Help2, &QAction::triggered, this, &TMainForm::Help2Click);
  connect(Support1, &QAction::triggered, this, &TMainForm::Support1Click);
  connect(ProductPage1, &QAction::triggered, this, &TMainForm::ProductPage1Click);
  connect(About1, &QAction::triggered, this, &TMainForm::About1Click);
}

void TMainForm::BuildControls() {
  auto* central = new QWidget(this);
  central->setObjectName("MainPanel");
  setCentralWidget(central);

  AddButton = Button(central, "AddButton", "Open file", {8, 8, 113, 41});
  EditButton = Button(central, "EditButton", "Clear", {131, 8, 113, 41});
  ClipButton = Button(central, "ClipButton", "Trim", {254, 8, 113, 41});
  AddButton->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  EditButton->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  ClipButton->setIcon(style()->standardIcon(QStyle::SP_MediaSeekForward));
  connect(AddButton, &QPushButton::clicked, this, &TMainForm::AddButtonClick);
  connect(EditButton, &QPushButton::clicked, this, &TMainForm::Remove1Click);
  connect(ClipButton, &QPushButton::clicked, this, &TMainForm::ClipButtonClick);

  ListPages = new QStackedWidget(central);
  ListPages->setObjectName("ListPages");
  ListPages->setGeometry(8, 57, 360, 114);
  sgList = new TListView(ListPages);
  sgList->setObjectName("sgList");
  QFont listFont("Arial");
  listFont.setPointSize(9);
  QFont headerFont = listFont;
  headerFont.setPointSize(8);
  sgList->setFont(listFont);
  sgList->setSelectionBehavior(QAbstractItemView::SelectRows);
  sgList->setSelectionMode(QAbstractItemView::SingleSelection);
  sgList->setShowGrid(false);
  sgList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  sgList->verticalHeader()->hide();
  sgList->verticalHeader()->setDefaultSectionSize(17);
  sgList->verticalHeader()->setMinimumSectionSize(17);
  sgList->horizontalHeader()->setFont(headerFont);
  sgList->horizontalHeader()->setFixedHeight(20);
  sgList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  sgList->horizontalHeader()->setHighlightSections(false);
  sgList->horizontalHeader()->setStretchLastSection(false);
  auto* header = new QStandardItemModel(0, 5, this);
  for (int c = 0; c < 5; ++c) header->setHeaderData(c, Qt::Horizontal, ColumnCaptions[c]);
  FHeaderModel = header;
  sgList->setModel(header);
  GettingStartedPanel = new QWidget(ListPages);
  GettingStartedPanel->setObjectName("GettingStartedPanel");
  GettingStartedImage = new QLabel(GettingStartedPanel);
  GettingStartedImage->setObjectName("GettingStartedImage");
  GettingStartedImage->setGeometry(0, 0, 360, 114);
  GettingStartedImage->setAlignment(Qt::AlignCenter);
  GettingStartedImage->setScaledContents(true);
  ListPages->addWidget(sgList);
  ListPages->addWidget(GettingStartedPanel);
  ListPages->setCurrentWidget(GettingStartedPanel);

  VideoTrackBar = new QSlider(Qt::Horizontal, central);
  VideoTrackBar->setObjectName("VideoTrackBar");
  VideoTrackBar->setGeometry(8, 179, 361, 20);
  VideoTrackBar->setRange(0, 1000);
  VideoTrackBar->setPageStep(0);

  auto toolButton = [central](const char* AName, QStyle::StandardPixmap APic, int AX) {
    auto* b = new QToolButton(central);
    b->setObjectName(AName);
    b->setIcon(b->style()->standardIcon(APic));
    b->setGeometry(AX, 204, 30, 26);
    return b;
  };
  PlayButton = toolButton("PlayButton", QStyle::SP_MediaPlay, 8);
  PauseButton = toolButton("PauseButton", QStyle::SP_MediaPause, 40);
  StopButton = toolButton("StopButton", QStyle::SP_MediaStop, 72);
  PlayButton->setCheckable(true);
  PauseButton->setCheckable(true);
  connect(PlayButton, &QToolButton::clicked, this, &TMainForm::PlayButtonClick);
  connect(PauseButton, &QToolButton::clicked, this, &TMainForm::PauseButtonClick);
  connect(StopButton, &QToolButton::clicked, this, &TMainForm::StopButtonClick);

  VolumeTrackBar = new QSlider(Qt::Horizontal, central);
  VolumeTrackBar->setObjectName("VolumeTrackBar");
  VolumeTrackBar->setGeometry(112, 207, 96, 20);
  VolumeTrackBar->setRange(0, 128);
  VolumeTrackBar->setValue(128);
  lblPlayTime = new QLabel("00:00:00 / 00:00:00", central);
  lblPlayTime->setObjectName("lblPlayTime");
  lblPlayTime->setGeometry(214, 204, 154, 26);
  lblPlayTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  panPreview = new QWidget(central);
  panPreview->setObjectName("panPreview");
  panPreview->setGeometry(8, 238, 360, 120);
  panPreview->setAutoFillBackground(true);
  QPalette white = panPreview->palette();
  white.setColor(QPalette::Window, Qt::white);
  panPreview->setPalette(white);
  panPreview->hide();

  SupportButton = Button(central, "SupportButton", "Support   ", {8, 368, 113, 32});
  SupportButton->setIcon(style()->standardIcon(QStyle::SP_DialogHelpButton));
  connect(SupportButton, &QPushButton::clicked, this, &TMainForm::SupportButtonClick);

  // The output settings panel.
  OutputSettings = new QGroupBox("Output Settings", central);
  OutputSettings->setObjectName("OutputSettings");
  OutputSettings->setGeometry(409, 8, 177, 335);
  cmbProfile = new QComboBox(OutputSettings);
  cmbProfile->setObjectName("cmbProfile");
  cmbAudioEncoder = new TCloseUpComboBox(OutputSettings);
  cmbAudioEncoder->setObjectName("cmbAudioEncoder");
  cmbSampleRate = new TCloseUpComboBox(OutputSettings);
  cmbSampleRate->setObjectName("cmbSampleRate");
  cmbAudioBitRate = new TCloseUpComboBox(OutputSettings);
  cmbAudioBitRate->setObjectName("cmbAudioBitRate");
  cmbChannel = new TCloseUpComboBox(OutputSettings);
  cmbChannel->setObjectName("cmbChannel");
  for (QComboBox* c :
       {cmbProfile, static_cast<QComboBox*>(cmbAudioEncoder), static_cast<QComboBox*>(cmbSampleRate),
        static_cast<QComboBox*>(cmbAudioBitRate), static_cast<QComboBox*>(cmbChannel)}) {
    c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c->setMinimumContentsLength(6);
  }
  edVolume = new QSpinBox(OutputSettings);
  edVolume->setObjectName("edVolume");
  edVolume->setRange(1, 5000);
  edVolume->setSingleStep(1);
  edVolume->setValue(100);
  chApplyToAll = new TWrapCheckBox("Apply the settings to all  items", OutputSettings);
  chApplyToAll->setObjectName("chApplyToAll");
  chApplyToAll->setChecked(true);
  chMerge = new TWrapCheckBox("Merge output music to one file", OutputSettings);
  chMerge->setObjectName("chMerge");
  edDestinationFolder = new QLineEdit(OutputSettings);
  edDestinationFolder->setObjectName("edDestinationFolder");
  edDestinationFolder->setReadOnly(true);
  spSkinButton1 = new QPushButton("Change", OutputSettings);
  spSkinButton1->setObjectName("spSkinButton1");
  spSkinButton3 = new QPushButton("Open", OutputSettings);
  spSkinButton3->setObjectName("spSkinButton3");

  auto* form = new QFormLayout;
  form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->setHorizontalSpacing(4);
  form->setVerticalSpacing(4);
  form->addRow("Codec:", cmbAudioEncoder);
  form->addRow("Sample:", cmbSampleRate);
  form->addRow("Bit rate:", cmbAudioBitRate);
  form->addRow("Channels:", cmbChannel);
  form->addRow("Vol. (%):", edVolume);
  auto* folderButtons = new QHBoxLayout;
  folderButtons->setSpacing(4);
  folderButtons->addWidget(spSkinButton1);
  folderButtons->addWidget(spSkinButton3);
  auto* panel = new QVBoxLayout(OutputSettings);
  panel->setContentsMargins(6, 6, 6, 6);
  panel->setSpacing(4);
  panel->addWidget(cmbProfile);
  panel->addLayout(form);
  panel->addWidget(chApplyToAll);
  panel->addWidget(chMerge);
  panel->addStretch();
  panel->addWidget(new QLabel("Output:", OutputSettings));
  panel->addWidget(edDestinationFolder);
  panel->addLayout(folderButtons);

  StartButton = Button(central, "StartButton", "Start", {409, 349, 176, 55});
  QFont big = StartButton->font();
  big.setPointSizeF(big.pointSizeF() * 1.4);
  big.setBold(true);
  StartButton->setFont(big);
  StartButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  connect(StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);

  connect(cmbProfile, qOverload<int>(&QComboBox::activated), this, [this](int) { cmbProfileClick(); });
  connect(cmbSampleRate, &TCloseUpComboBox::closedUp, this, &TMainForm::cmbSampleRateCloseUp);
  connect(cmbAudioBitRate, &TCloseUpComboBox::closedUp, this, &TMainForm::cmbAudioBitRateCloseUp);
  connect(cmbChannel, &TCloseUpComboBox::closedUp, this, &TMainForm::cmbChannelCloseUp);
  connect(cmbAudioEncoder, &TCloseUpComboBox::closedUp, this, &TMainForm::cmbAudioEncoderCloseUp);
  connect(chApplyToAll, &QCheckBox::clicked, this, &TMainForm::chApplyToAllClick);
  connect(chMerge, &QCheckBox::clicked, this, &TMainForm::chMergeClick);
  connect(edVolume, qOverload<int>(&QSpinBox::valueChanged), this, &TMainForm::edVolumeChange);
  connect(spSkinButton1, &QPushButton::clicked, this, &TMainForm::spSkinButton1Click);
  connect(spSkinButton3, &QPushButton::clicked, this, &TMainForm::spSkinButton3Click);
}

void TMainForm::SetListControlsEnabled(bool AEnabled) {
  EditButton->setEnabled(AEnabled);
  ClipButton->setEnabled(AEnabled);
  for (QAction* a : {Remove1, ClearAll1, Rename1, MoveUp1, MoveDown1, ClipVideo1, FileInformation1})
    a->setEnabled(AEnabled);
}

void TMainForm::SetProfileUsers(IProfileUsers* AUsers) {
  FUsers = AUsers ? AUsers : &FNoUsers;
}

void TMainForm::SetListModel(QAbstractItemModel* AModel) {
  sgList->setModel(AModel ? AModel : FHeaderModel);
  for (int c = 0; c < 5; ++c) sgList->setColumnWidth(c, ColumnWidths[c]);
}

void TMainForm::ListFilesAdded() {
  ListPages->setCurrentWidget(sgList);
  SetListControlsEnabled(true);
}

void TMainForm::ShowErrorReport(const QString& AMessage, const QString& AMark) {
  FReporter->ShowErrorReport(AMessage, AMark);
}

void TMainForm::FormCreate() {
  TempFolder = FServices.Folders->Temp();
  setWindowTitle("Tavrik Sondel");
  QApplication::setApplicationName("Tavrik Sondel");
  OpenDialogInitialFolder = QString::fromStdString(FServices.Folders->Music());
  FReporter->ResetReportLines();
  for (int c = 0; c < 5; ++c) sgList->setColumnWidth(c, ColumnWidths[c]);
  sgList->horizontalHeader()->setFixedHeight(20);

  try {
    Profiles = LoadProfileSet(FServices.Paths.ProfileSetFile());
    if (Profiles.empty()) throw std::runtime_error("The profile set holds no profile");
  } catch (const std::exception&) {
    Profiles.clear();
    ShowErrorReport("Error loading profiles", "CLM_LoadProfiles");
    return;
  }
  FProfilesLoaded = true;

  std::string output = PerUserOutputFolder(FServices.Folders->Documents());
  if (CreateFolderChain(output)) edDestinationFolder->setText(QString::fromStdString(output));

  RecentProfileInd = 0;
  TStoredSettings stored;
  if (ReadStoredSettings(*FServices.Settings, stored)) {
    if (stored.OutputPath) edDestinationFolder->setText(QString::fromStdString(*stored.OutputPath));
    if (stored.OpenAudioDialogPath)
      OpenDialogInitialFolder = FolderExists(*stored.OpenAudioDialogPath)
                                    ? QString::fromStdString(*stored.OpenAudioDialogPath)
                                    : QString();
    DropInvalidProfileIndexes(stored, static_cast<int>(Profiles.size()));
    if (stored.RecentProfileInd) RecentProfileInd = *stored.RecentProfileInd;
    if (stored.LastEditedProfileInd) LastEditedProfileInd = *stored.LastEditedProfileInd;
    ApplyStoredProfileValues(stored, Profiles);
  }
  FSettingsRead = true;

  cmbProfile->clear();
  for (const TProfile& p : Profiles) cmbProfile->addItem(QString::fromStdString(p.Title));
  SelectProfile(RecentProfileInd);

  QPixmap gs(QString::fromStdString(FServices.Paths.GettingStartedPicture()));
  if (!gs.isNull()) {
    GettingStartedImage->setPixmap(gs);
    ListPages->setCurrentWidget(GettingStartedPanel);
  } else {
    GettingStartedPanel->hide();
    ListPages->setCurrentWidget(sgList);
  }

  if (!FServices.MediaLibrariesLoaded()) {
    std::string err;
    if (!FServices.LoadMediaLibraries(FServices.Paths.LibAVFolder(), err)) {
      ShowErrorReport(QString::fromStdString(err), "CLM_FFAVLibLoad");
      FReporter->AddEventLine(QString::fromStdString(err));
    }
  }
}

void TMainForm::SelectProfile(int AIndex) {
  {
    QSignalBlocker block(cmbProfile);
    cmbProfile->setCurrentIndex(AIndex);
  }
  cmbProfileClick();
}

void TMainForm::cmbProfileClick() {
  int ind = cmbProfile->currentIndex();
  if (ind < 0 || ind >= static_cast<int>(Profiles.size())) return;
  int sel = FUsers->SelectedFile();
  if (sel >= 0 && sel < FUsers->FileCount()) FUsers->SetFileProfile(sel, ind);
  CurrentProfileInd = ind;
  RecentProfileInd = CurrentProfileInd;
  if (chApplyToAll->isChecked())
    for (int i = 0; i < FUsers->FileCount(); ++i) FUsers->SetFileProfile(i, CurrentProfileInd);
  FillProfileCombos();
  FUsers->UpdateEstimatedSizes();
}

void TMainForm::FillProfileCombos() {
  for (QComboBox* c : {static_cast<QComboBox*>(cmbSampleRate), static_cast<QComboBox*>(cmbChannel),
                       static_cast<QComboBox*>(cmbAudioEncoder), static_cast<QComboBox*>(cmbAudioBitRate)})
    c->clear();
  if (CurrentProfileInd < 0 || CurrentProfileInd >= static_cast<int>(Profiles.size())) return;
  const TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
  auto fill = [](QComboBox* ABox, const std::string& AList, const std::string& AValue) {
    std::vector<std::string> values, captions;
    SplitChoiceList(AList, values, captions);
    for (auto& c : captions) ABox->addItem(QString::fromStdString(c));
    ABox->setCurrentIndex(ChoiceIndex(AList, AValue));
  };
  fill(cmbSampleRate, p.SampleRates, p.SampleRate);
  fill(cmbChannel, p.Channels, p.Channel);
  fill(cmbAudioEncoder, p.AudioCodecs, p.AudioCodecName);
  fill(cmbAudioBitRate, p.AudioBitRates, p.AudioBitRate);
}

void TMainForm::ApplyCombosToProfile() {
  bool ok = CurrentProfileInd >= 0 && CurrentProfileInd < static_cast<int>(Profiles.size());
  if (ok) {
    LastEditedProfileInd = CurrentProfileInd;
    TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
    struct TPair {
      QComboBox* Box;
      const std::string* List;
      std::string* Field;
    };
    const TPair pairs[] = {{cmbSampleRate, &p.SampleRates, &p.SampleRate},
                           {cmbChannel, &p.Channels, &p.Channel},
                           {cmbAudioEncoder, &p.AudioCodecs, &p.AudioCodecName},
                           {cmbAudioBitRate, &p.AudioBitRates, &p.AudioBitRate}};
    for (const TPair& pr : pairs) {
      if (!pr.Box->isEnabled()) continue;
      std::vector<std::string> values, captions;
      SplitChoiceList(*pr.List, values, captions);
      int i = pr.Box->currentIndex();
      if (i < 0 || i >= static_cast<int>(values.size())) {
        ok = false;
        break;
      }
      *pr.Field = values[static_cast<size_t>(i)];
    }
  }
  if (!ok) ShowErrorReport("Error setting profile", "CLM_SettingProfile");
  FUsers->UpdateEstimatedSizes();
}

void TMainForm::chApplyToAllClick() {
  if (!chApplyToAll->isChecked()) return;
  for (int i = 0; i < FUsers->FileCount(); ++i) FUsers->SetFileProfile(i, CurrentProfileInd);
  FUsers->UpdateEstimatedSizes();
}

void TMainForm::spSkinButton1Click() {
  QString dir =
      QFileDialog::getExistingDirectory(this, "Select the output folder", edDestinationFolder->text());
  if (!dir.isEmpty()) edDestinationFolder->setText(dir);
}

void TMainForm::spSkinButton3Click() {
  QString dir = edDestinationFolder->text();
  if (dir.isEmpty()) return;
  std::string err;
  FServices.Opener->Open(dir.toStdString(), err);
}

void TMainForm::OpenPage(const std::string& AAddress) {
  std::string err;
  FServices.Opener->Open(AAddress, err);
}

void TMainForm::Help2Click() {
  OpenPage(ReadWebPages(*FServices.Settings).OnlineGuide);
}
void TMainForm::Support1Click() {
  OpenPage(ReadWebPages(*FServices.Settings).Support);
}
void TMainForm::ProductPage1Click() {
  OpenPage(ReadWebPages(*FServices.Settings).ProductPage);
}

void TMainForm::About1Click() {
  if (FAboutForm) FAboutForm->exec();
}

void TMainForm::oolsitem11Click() {
  FReporter->LogForm()->exec();
}

void TMainForm::Exit1Click() {
  close();
}

void TMainForm::ClearAll1Click() {
  FUsers->Clear();
  SetListControlsEnabled(false);
}

void TMainForm::SaveSettings() {
  if (!FSettingsRead) return;
  TSettingsToSave s;
  s.OutputPath = edDestinationFolder->text().toStdString();
  s.OpenAudioDialogPath = OpenDialogLastFolder;
  s.RecentProfileInd = RecentProfileInd;
  s.LastEditedProfileInd = LastEditedProfileInd;
  std::string err;
  if (!SaveStoredSettings(*FServices.Settings, s, Profiles, err))
    ShowErrorReport("Error writing data to Registry", "CLM_RegDataWrite");
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
  if (!FClosed) {
    FClosed = true;
    emit StopPreview();
    SaveSettings();
  }
  AEvent->accept();
}
