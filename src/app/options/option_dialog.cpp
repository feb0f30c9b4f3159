#include "app/options/option_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <array>

#include "app/options/color_box.h"
#include "app/options/number_edit.h"
#include "app/options/small_controls.h"
#include "core/bitmap.h"

namespace vexo {

namespace {

constexpr const char* kSection = "Options";
constexpr const char* kRestore = "Restore";
constexpr const char* kFormName = "frmOption";
constexpr int kClientWidth = 445, kClientHeight = 428, kPagesHeight = 397;

// Bits per pixel stored for each item of the BMP and PNG colour lists.
constexpr std::array<int, 8> kBmpBits = {0, 1, 4, 8, 15, 16, 24, 32};
constexpr std::array<int, 7> kPngBits = {0, 1, 4, 8, 15, 16, 24};

template <class T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// Tabs with narrow side margins, so the nine pages' tabs fit the dialog's width in one row.
class CompactTabStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    if (metric == PM_TabBarTabHSpace) return 10;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }
};

QString qs(const std::string& s) {
  return QString::fromStdString(s);
}
std::string ss(const QString& s) {
  return s.toStdString();
}

QGroupBox* frame(const QString& title, QWidget* parent) {
  return new QGroupBox(title, parent);
}

QComboBox* dropDown(QWidget* parent, const char* name, const QStringList& items) {
  auto* combo = named(new QComboBox(parent), name);
  combo->addItems(items);
  combo->setCurrentIndex(0);
  return combo;
}

// A radio group: a frame of radio buttons in columns, their ids the item indexes.
QButtonGroup* radioGroup(QWidget* parent, QBoxLayout& into, const char* name, const QString& title,
                         const QStringList& items, int columns) {
  auto* box = named(frame(title, parent), name);
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(8, 2, 8, 4);
  grid->setVerticalSpacing(2);
  auto* group = new QButtonGroup(box);
  group->setObjectName(QString::fromLatin1(name));
  const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
  for (int i = 0; i < items.size(); ++i) {
    auto* radio = new QRadioButton(items[i], box);
    group->addButton(radio, i);
    grid->addWidget(radio, i % rows, i / rows);  // filled column by column
  }
  into.addWidget(box);
  return group;
}

// Item index of a radio group: -1 when nothing is checked.
int itemIndex(const QButtonGroup& group) {
  return group.checkedId();
}

// Leaves every button of an exclusive group unchecked.
void clearChecks(QButtonGroup& group) {
  if (auto* checked = group.checkedButton()) {
    group.setExclusive(false);
    checked->setChecked(false);
    group.setExclusive(true);
  }
}

// Checks item index; an index below 0 checks nothing, one beyond the last checks the last.
void setItemIndex(QButtonGroup& group, int index) {
  const int count = static_cast<int>(group.buttons().size());
  if (index >= count) index = count - 1;
  if (index < 0)
    clearChecks(group);
  else
    group.button(index)->setChecked(true);
}

TUpdownNumberEdit* numberEdit(QWidget* parent, const char* name, int min, int max, bool wrap,
                              int value) {
  auto* edit = named(new TUpdownNumberEdit(parent), name);
  edit->SetLimit(true);
  if (max < min) {
    edit->SetLimitOptions(loMin);  // no upper limit
    edit->SetMin(min);
  } else {
    edit->SetMin(min);
    edit->SetMax(max);
  }
  edit->SetWrap(wrap);
  edit->SetIntValue(value);
  edit->setFixedWidth(max > 999 || max < min ? 72 : 52);
  return edit;
}

QHBoxLayout* row(QBoxLayout& into) {
  auto* r = new QHBoxLayout;
  r->setSpacing(6);
  into.addLayout(r);
  return r;
}

// A row of a caption (a label, a check box, a radio) and the field it names, which takes the
// rest of the width.
void pairRow(QBoxLayout& into, QWidget* caption, QWidget* field) {
  QHBoxLayout* r = row(into);
  r->addWidget(caption);
  r->addWidget(field, 1);
}

QVBoxLayout* column(QWidget* w, int spacing = 4) {
  auto* v = new QVBoxLayout(w);
  v->setContentsMargins(8, 4, 8, 6);
  v->setSpacing(spacing);
  return v;
}

QWidget* page(QTabWidget& pages, const char* name, const QString& caption) {
  auto* w = named(new QWidget, name);
  pages.addTab(w, caption);
  return w;
}

}  // namespace

QString HelpFilePath() {
  const QString dir = QCoreApplication::applicationDirPath() + '/';
  for (const QString& folder : {dir, dir + "../share/doc/vexo/"})
    for (const char* name : {"vexo.html", "vexo.txt"}) {
      const QFileInfo file(folder + name);
      if (file.isFile()) return file.canonicalFilePath();
    }
  return {};
}

TfrmOption::TfrmOption(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      dlgFolder_(new TFolderDialog(this)) {
  OpenDocument = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
  setObjectName("frmOption");
  setWindowTitle("オプション");
  setFixedSize(kClientWidth, kClientHeight);
  iniOpt_.SetDefaultFolder(TDefaultFolder::dfAppData);
  iniOpt_.SetFileName("Vexo.ini");
  dlgFolder_->setObjectName("dlgFolder");
  dlgFolder_->SetRootFolder(TRootFolder::rfDeskTop);
  dlgFolder_->SetTitle("Susieプラグインの場所を選択します。");

  auto* pages = named(new QTabWidget(this), "pgcOption");
  pages->setGeometry(4, 4, kClientWidth - 8, kPagesHeight - 4);
  auto* tabStyle = new CompactTabStyle;
  tabStyle->setParent(pages);
  pages->tabBar()->setStyle(tabStyle);
  buildBase(*pages);
  buildSize(*pages);
  buildJpeg(*pages);
  buildBitmap(*pages);
  buildPng(*pages);
  buildGif(*pages);
  buildMeta(*pages);
  buildIcon(*pages);
  buildAbout(*pages);

  auto* btnSet = named(new QPushButton("設定(&S)", this), "btnSet");
  auto* btnCancel = named(new QPushButton("キャンセル(&C)", this), "btnCancel");
  auto* btnHelp = named(new QPushButton("ヘルプ(&H)", this), "btnHelp");
  btnSet->setGeometry(200, kPagesHeight + 3, 75, 25);
  btnCancel->setGeometry(281, kPagesHeight + 3, 75, 25);
  btnHelp->setGeometry(362, kPagesHeight + 3, 75, 25);
  btnSet->setDefault(true);
  btnSet->setAutoDefault(true);
  btnCancel->setAutoDefault(false);
  btnHelp->setAutoDefault(false);
  connect(btnSet, &QPushButton::clicked, this, &TfrmOption::btnSetClick);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmOption::reject);
  connect(btnHelp, &QPushButton::clicked, this, &TfrmOption::btnHelpClick);

  connectRules();

  // Placed where it was last closed; the top-left corner of the screen the first time.
  QPoint origin;
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    origin = screen->availableGeometry().topLeft();
  int left = origin.x(), top = origin.y();
  iniOpt_.RestoreFormPosition(kRestore, kFormName, left, top);
  move(left, top);
  load();
}

TfrmOption::~TfrmOption() {
  FormPlacement placement;
  const QRect outer = frameGeometry();
  placement.flags = 0;
  placement.show = isMinimized() ? 2 : isMaximized() ? 3 : 1;
  placement.left = outer.left();
  placement.top = outer.top();
  placement.right = outer.left() + outer.width();
  placement.bottom = outer.top() + outer.height();
  placement.state = isMinimized() ? 1 : isMaximized() ? 2 : 0;
  placement.cwidth = width();
  placement.cheight = height();
  iniOpt_.SaveFormPlacement(kRestore, kFormName, placement);
}

void TfrmOption::reject() {
  done(kOptionCancel);
}

void TfrmOption::buildBase(QTabWidget& pages) {
  QWidget* w = page(pages, "tabBase", "基本");
  auto* v = column(w);

  auto* out = frame("ファイルの出力先", w);
  auto* outRows = column(out, 2);
  rdoSameFolder_ = named(new QRadioButton("画像ファイルと同じフォルダ", out), "rdoSameFolder");
  rdoUserFolder_ = named(new QRadioButton("指定フォルダ", out), "rdoUserFolder");
  rdoSameFolder_->setChecked(true);
  cmbOutFolder_ = named(new QComboBox(out), "cmbOutFolder");
  cmbOutFolder_->setEditable(true);
  cmbOutFolder_->setCompleter(nullptr);
  cmbOutFolder_->setInsertPolicy(QComboBox::NoInsert);
  cmbOutFolder_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  btnRefOut_ = named(new QPushButton("参照...", out), "btnRefOut");
  btnRefOut_->setFixedWidth(60);
  cmbOutFolder_->setEnabled(false);
  btnRefOut_->setEnabled(false);
  outRows->addWidget(rdoSameFolder_);
  auto* userRow = row(*outRows);
  userRow->addWidget(rdoUserFolder_);
  userRow->addWidget(cmbOutFolder_, 1);
  userRow->addWidget(btnRefOut_);
  v->addWidget(out);

  rdgSameFile_ = radioGroup(w, *v, "rdgSameFile", "同一名ファイルの処理",
                            {"別名で保存する", "毎回確認する", "上書きする"}, 3);
  rdgImageType_ = radioGroup(
      w, *v, "rdgImageType", "変換後の画像形式",
      {"JPEGイメージ (*.jpg)", "ビットマップ (*.bmp)", "PNG (*.png)", "GIF (*.gif)",
       "メタファイル (*.wmf)", "拡張メタファイル (*.emf)", "アイコン (*.ico)", "変換時に指定する"},
      2);

  auto* susie = frame("Susieプラグイン", w);
  auto* susieRows = column(susie, 2);
  chkUsePlugin_ = named(new QCheckBox("プラグインを有効にする", susie), "chkUsePlugin");
  edtPluginPath_ = named(new QLineEdit(susie), "edtPluginPath");
  btnRefPlugin_ = named(new QPushButton("参照...", susie), "btnRefPlugin");
  btnRefPlugin_->setFixedWidth(60);
  susieRows->addWidget(chkUsePlugin_);
  auto* pluginRow = row(*susieRows);
  pluginRow->addWidget(edtPluginPath_, 1);
  pluginRow->addWidget(btnRefPlugin_);
  v->addWidget(susie);

  auto* other = frame("その他", w);
  auto* otherRows = column(other, 2);
  chkBeforeOpen_ =
      named(new QCheckBox("変換を開始する前にオプションダイアログを開く", other), "chkBeforeOpen");
  chkAfterOpen_ = named(new QCheckBox("変換結果を表示する", other), "chkAfterOpen");
  chkHideProgress_ =
      named(new QCheckBox("変換状況のダイアログを表示しない", other), "chkHideProgress");
  otherRows->addWidget(chkBeforeOpen_);
  otherRows->addWidget(chkAfterOpen_);
  otherRows->addWidget(chkHideProgress_);
  v->addWidget(other);
  v->addStretch(1);
}

void TfrmOption::buildSize(QTabWidget& pages) {
  QWidget* w = page(pages, "tabSize", "編集");
  auto* v = column(w);

  auto* size = frame("画像サイズ", w);
  auto* sizeRows = column(size);
  chkSizeChange_ = named(new TEnableControlCheckBox("画像サイズを変更する", size), "chkSizeChange");
  pnlSizeChange_ = named(new TPanelEx(size), "pnlSizeChange");
  auto* sizeRow = new QHBoxLayout(pnlSizeChange_);
  sizeRow->setContentsMargins(16, 0, 0, 0);
  cmbSizeBase_ = dropDown(pnlSizeChange_, "cmbSizeBase", {"最大サイズ", "横サイズ", "縦サイズ"});
  edtMaxSize_ = numberEdit(pnlSizeChange_, "edtMaxSize", 1, 0, false, 1);
  cmbSizeUnit_ = dropDown(pnlSizeChange_, "cmbSizeUnit", {"ピクセル", "パーセント"});
  sizeRow->addWidget(cmbSizeBase_);
  sizeRow->addWidget(new QLabel("を", pnlSizeChange_));
  sizeRow->addWidget(edtMaxSize_);
  sizeRow->addWidget(cmbSizeUnit_);
  sizeRow->addWidget(new QLabel("に変更する", pnlSizeChange_));
  sizeRow->addStretch(1);
  sizeRows->addWidget(chkSizeChange_);
  sizeRows->addWidget(pnlSizeChange_);
  pnlSizeChange_->setEnabled(false);
  chkSizeChange_->SetRegulateControl(pnlSizeChange_);
  v->addWidget(size);

  auto* rotate = frame("回転", w);
  auto* rotateRows = column(rotate);
  chkRotate_ = named(new TEnableControlCheckBox("画像を回転する", rotate), "chkRotate");
  pnlRotate_ = named(new TPanelEx(rotate), "pnlRotate");
  auto* angleRow = new QHBoxLayout(pnlRotate_);
  angleRow->setContentsMargins(16, 0, 0, 0);
  rdoAngle90_ = named(new QRadioButton("90度", pnlRotate_), "rdoAngle90");
  rdoAngle180_ = named(new QRadioButton("180度", pnlRotate_), "rdoAngle180");
  rdoAngle270_ = named(new QRadioButton("270度", pnlRotate_), "rdoAngle270");
  angles_ = new QButtonGroup(pnlRotate_);
  angles_->addButton(rdoAngle90_, 90);
  angles_->addButton(rdoAngle180_, 180);
  angles_->addButton(rdoAngle270_, 270);
  rdoAngle90_->setChecked(true);
  for (auto* radio : {rdoAngle90_, rdoAngle180_, rdoAngle270_}) angleRow->addWidget(radio);
  angleRow->addStretch(1);
  rotateRows->addWidget(chkRotate_);
  rotateRows->addWidget(pnlRotate_);
  pnlRotate_->setEnabled(false);
  chkRotate_->SetRegulateControl(pnlRotate_);
  v->addWidget(rotate);

  auto* mirror = frame("反転", w);
  auto* mirrorRow = new QHBoxLayout(mirror);
  chkMirror_ = named(new QCheckBox("左右反転", mirror), "chkMirror");
  chkFlip_ = named(new QCheckBox("上下反転", mirror), "chkFlip");
  mirrorRow->addWidget(chkMirror_);
  mirrorRow->addWidget(chkFlip_);
  mirrorRow->addStretch(1);
  v->addWidget(mirror);
  v->addStretch(1);
}

void TfrmOption::buildJpeg(QTabWidget& pages) {
  QWidget* w = page(pages, "tabJpeg", "JPEG");
  auto* v = column(w);

  auto* ratio = frame("圧縮率", w);
  auto* ratioRow = new QHBoxLayout(ratio);
  edtCompressRatio_ = numberEdit(ratio, "edtCompressRatio", 0, 99, true, 0);
  tbrCompressRatio_ = named(new QSlider(Qt::Horizontal, ratio), "tbrCompressRatio");
  tbrCompressRatio_->setRange(0, 99);
  tbrCompressRatio_->setPageStep(10);
  tbrCompressRatio_->setTickInterval(10);
  tbrCompressRatio_->setTickPosition(QSlider::TicksBelow);
  ratioRow->addWidget(edtCompressRatio_);
  ratioRow->addWidget(new QLabel("%", ratio));
  ratioRow->addWidget(tbrCompressRatio_, 1);
  v->addWidget(ratio);

  rdgSubSampleRatio_ = radioGroup(w, *v, "rdgSubSampleRatio", "サブサンプリングレート",
                                  {"４：１：１", "４：２：２", "４：４：４"}, 3);
  rdgSubSampleRatio_->button(0)->setChecked(true);

  auto* density = frame("解像度の埋め込み", w);
  auto* densityRow = new QHBoxLayout(density);
  edtResoX_ = numberEdit(density, "edtResoX", 0, 65535, false, 0);
  edtResoY_ = numberEdit(density, "edtResoY", 0, 65535, false, 0);
  cmbResoUnit_ =
      dropDown(density, "cmbResoUnit", {"なし", "ピクセル／インチ", "ピクセル／センチメートル"});
  densityRow->addWidget(new QLabel("横", density));
  densityRow->addWidget(edtResoX_);
  densityRow->addWidget(new QLabel("縦", density));
  densityRow->addWidget(edtResoY_);
  densityRow->addWidget(new QLabel("単位", density));
  densityRow->addWidget(cmbResoUnit_, 1);
  v->addWidget(density);

  auto* color = frame("色", w);
  auto* colorRow = new QHBoxLayout(color);
  chkJpegGrayscale_ = named(new QCheckBox("グレイスケール", color), "chkJpegGrayscale");
  colorRow->addWidget(chkJpegGrayscale_);
  v->addWidget(color);

  auto* other = frame("その他", w);
  auto* otherRows = column(other, 3);
  edtJpegRestart_ = numberEdit(other, "edtJpegRestart", 0, 100, false, 0);
  edtJpegComment_ = named(new QLineEdit(other), "edtJpegComment");
  auto* restartRow = row(*otherRows);
  restartRow->addWidget(new QLabel("リスタート間隔", other));
  restartRow->addWidget(edtJpegRestart_);
  restartRow->addWidget(new QLabel("0: 未指定", other));
  restartRow->addStretch(1);
  pairRow(*otherRows, new QLabel("コメント", other), edtJpegComment_);
  chkJpegExif_ = named(new QCheckBox("元の画像のExif情報を保存する", other), "chkJpegExif");
  chkJpegIncThumb_ = named(new QCheckBox("サムネイルを記録する", other), "chkJpegIncThumb");
  chkJpegIncThumb_->setEnabled(false);
  otherRows->addWidget(chkJpegExif_);
  otherRows->addWidget(chkJpegIncThumb_);
  v->addWidget(other);
  v->addStretch(1);
}

void TfrmOption::buildBitmap(QTabWidget& pages) {
  QWidget* w = page(pages, "tabBitmap", "BMP");
  auto* v = column(w);
  auto* color = frame("色", w);
  auto* rows = column(color);
  cmbBmpColor_ = dropDown(color, "cmbBmpColor",
                          {"変更なし", "1 ビット （2色）", "4 ビット （16色）",
                           "8 ビット （256色）", "15 ビット （32768色）", "16 ビット （65536色）",
                           "24 ビット （フルカラー）", "32 ビット （フルカラー）"});
  pairRow(*rows, new QLabel("色数", color), cmbBmpColor_);
  chkBmpMono_ = named(new QCheckBox("モノクロ", color), "chkBmpMono");
  chkBmpError_ = named(new QCheckBox("誤差拡散", color), "chkBmpError");
  rows->addWidget(chkBmpMono_);
  rows->addWidget(chkBmpError_);
  v->addWidget(color);
  v->addStretch(1);
}

void TfrmOption::buildPng(QTabWidget& pages) {
  QWidget* w = page(pages, "tabPng", "PNG");
  auto* v = column(w);
  rdgPngCompress_ = radioGroup(w, *v, "rdgPngCompress", "圧縮方法",
                               {"圧縮なし", "標準", "速度優先", "圧縮率優先"}, 4);
  rdgPngCompress_->button(1)->setChecked(true);

  auto* color = frame("色", w);
  auto* colorRows = column(color, 3);
  cmbPngColor_ =
      dropDown(color, "cmbPngColor",
               {"変更なし", "1 ビット （モノクロ）", "4 ビット （16色）", "8 ビット （256色）",
                "15 ビット （32768色）", "16 ビット （65536色）", "24 ビット （フルカラー）"});
  pairRow(*colorRows, new QLabel("色数", color), cmbPngColor_);
  chkPngGrayscale_ = named(new QCheckBox("グレイスケール", color), "chkPngGrayscale");
  colorRows->addWidget(chkPngGrayscale_);
  chkPngTrans_ = named(new TEnableControlCheckBox("透明色を指定する", color), "chkPngTrans");
  cmbPngTransColor_ = named(new TColorBox(color), "cmbPngTransColor");
  cmbPngTransColor_->SetColorStyle(TColorBox::cbStandardColors | TColorBox::cbExtendedColors |
                                   TColorBox::cbCustomColor | TColorBox::cbPrettyNames);
  cmbPngTransColor_->SetSelected(0);
  cmbPngTransColor_->setEnabled(false);
  chkPngTrans_->SetRegulateControl(cmbPngTransColor_);
  pairRow(*colorRows, chkPngTrans_, cmbPngTransColor_);
  chkPngUseError_ = named(new QCheckBox("減色時に誤差拡散を使用する", color), "chkPngUseError");
  colorRows->addWidget(chkPngUseError_);
  v->addWidget(color);

  auto* filters = frame("フィルタ", w);
  auto* filterRows = column(filters, 2);
  filterRows->addWidget(new QLabel("指定したフィルタから最適なものを自動選択します", filters));
  auto* grid = new QGridLayout;
  filterRows->addLayout(grid);
  const std::array<std::pair<const char*, const char*>, 5> names = {{
      {"chkPngFilterNone", "フィルタなし"},
      {"chkPngFilterSub", "Subフィルタ"},
      {"chkPngFilterUp", "Upフィルタ"},
      {"chkPngFilterAverage", "Averageフィルタ"},
      {"chkPngFilterPaeth", "Paethフィルタ"},
  }};
  for (int i = 0; i < 5; ++i) {
    auto* box = named(new QCheckBox(names[i].second, filters), names[i].first);
    box->setChecked(true);
    grid->addWidget(box, i / 3, i % 3);
    pngFilters_.push_back(box);
  }
  v->addWidget(filters);

  auto* other = frame("その他", w);
  auto* otherRows = column(other, 3);
  chkPngInteres_ = named(new QCheckBox("インターレースで記録する", other), "chkPngInteres");
  chkPngUseComment_ =
      named(new TEnableControlCheckBox("コメントを記録する", other), "chkPngUseComment");
  edtPngComment_ = named(new QLineEdit(other), "edtPngComment");
  edtPngComment_->setEnabled(false);
  chkPngUseComment_->SetRegulateControl(edtPngComment_);
  otherRows->addWidget(chkPngInteres_);
  pairRow(*otherRows, chkPngUseComment_, edtPngComment_);
  v->addWidget(other);
  v->addStretch(1);
}

void TfrmOption::buildGif(QTabWidget& pages) {
  QWidget* w = page(pages, "tabGif", "GIF");
  auto* v = column(w);

  auto* reduce = frame("減色", w);
  auto* reduceRows = column(reduce, 3);
  cmbGifReduct_ =
      dropDown(reduce, "cmbGifReduct",
               {"Windowsシステムパレット （20色）", "Windows256色", "Windowsグレイスケール",
                "モノクロ", "256色グレイスケール", "ネットスケープパレット （216色）",
                "最適化パレット", "Windows最適化パレット"});
  cmbGifReduct_->setCurrentIndex(5);
  pairRow(*reduceRows, new QLabel("使用パレット", reduce), cmbGifReduct_);
  pnlGifColor_ = named(new TPanelEx(reduce), "pnlGifColor");
  auto* countRow = new QHBoxLayout(pnlGifColor_);
  countRow->setContentsMargins(0, 0, 0, 0);
  cmbGifColor_ = dropDown(pnlGifColor_, "cmbGifColor",
                          {"3 ビット （8色）", "4 ビット （16色）", "5 ビット （32色）",
                           "6 ビット （64色）", "7 ビット （128色）", "8 ビット （256色）"});
  cmbGifColor_->setCurrentIndex(5);
  countRow->addWidget(new QLabel("色数", pnlGifColor_));
  countRow->addWidget(cmbGifColor_, 1);
  pnlGifColor_->setEnabled(false);
  reduceRows->addWidget(pnlGifColor_);
  v->addWidget(reduce);

  auto* dither = frame("ディザリング", w);
  auto* ditherRows = column(dither, 3);
  rdoGifNearest_ = named(new QRadioButton("近似法", dither), "rdoGifNearest");
  rdoGifError_ = named(new QRadioButton("誤差拡散法", dither), "rdoGifError");
  rdoGifNearest_->setChecked(true);
  cmbGifErrorType_ = dropDown(dither, "cmbGifErrorType",
                              {"Floyd Steinberg", "Stucki", "Sierra", "Jarvis, Judice & Ninke",
                               "Stevenson & Arche", "Burkes"});
  cmbGifErrorType_->setEnabled(false);
  ditherRows->addWidget(rdoGifNearest_);
  pairRow(*ditherRows, rdoGifError_, cmbGifErrorType_);
  v->addWidget(dither);

  auto* trans = frame("透過", w);
  auto* transRow = new QHBoxLayout(trans);
  chkGifTrans_ = named(new TEnableControlCheckBox("指定した色を透過する", trans), "chkGifTrans");
  cmbGifTransColor_ = named(new TColorBox(trans), "cmbGifTransColor");
  cmbGifTransColor_->SetColorStyle(TColorBox::cbStandardColors | TColorBox::cbExtendedColors |
                                   TColorBox::cbIncludeDefault | TColorBox::cbCustomColor |
                                   TColorBox::cbPrettyNames);
  cmbGifTransColor_->SetSelected(kColorAuto);
  cmbGifTransColor_->setEnabled(false);
  chkGifTrans_->SetRegulateControl(cmbGifTransColor_);
  transRow->addWidget(chkGifTrans_);
  transRow->addWidget(cmbGifTransColor_, 1);
  v->addWidget(trans);

  rdgGifCompress_ = radioGroup(w, *v, "rdgGifCompress", "圧縮アルゴリズム", {"LZW", "RLE"}, 1);
  rdgGifCompress_->button(0)->setChecked(true);
  v->addStretch(1);
}

void TfrmOption::buildMeta(QTabWidget& pages) {
  QWidget* w = page(pages, "tabMeta", "WMF/EMF");
  auto* v = column(w);
  auto* common = frame("WMF / EMF 共通", w);
  auto* grid = new QGridLayout(common);
  edtCreate_ = named(new QLineEdit(common), "edtCreate");
  edtDesc_ = named(new QLineEdit(common), "edtDesc");
  grid->addWidget(new QLabel("作成者情報", common), 0, 0);
  grid->addWidget(edtCreate_, 0, 1);
  grid->addWidget(new QLabel("説明", common), 1, 0);
  grid->addWidget(edtDesc_, 1, 1);
  v->addWidget(common);
  v->addStretch(1);
}

void TfrmOption::buildIcon(QTabWidget& pages) {
  QWidget* w = page(pages, "tabIcon", "アイコン");
  auto* v = column(w);

  auto* size = frame("サイズ", w);
  auto* sizeRows = column(size, 3);
  cmbIconSize_ =
      dropDown(size, "cmbIconSize",
               {"大きいアイコン（システム）", "小さいアイコン（システム）",
                "大きいアイコン（シェル）", "小さいアイコン（シェル）", "指定したサイズ"});
  sizeRows->addWidget(cmbIconSize_);
  pnlIconSize_ = named(new TPanelEx(size), "pnlIconSize");
  auto* sizeRow = new QHBoxLayout(pnlIconSize_);
  sizeRow->setContentsMargins(0, 0, 0, 0);
  edtIconSize_ = numberEdit(pnlIconSize_, "edtIconSize", 16, 72, true, 16);
  sizeRow->addWidget(new QLabel("指定サイズ", pnlIconSize_));
  sizeRow->addWidget(edtIconSize_);
  sizeRow->addWidget(new QLabel("(16 - 72)", pnlIconSize_));
  sizeRow->addStretch(1);
  pnlIconSize_->setEnabled(false);
  sizeRows->addWidget(pnlIconSize_);
  v->addWidget(size);

  auto* color = frame("色", w);
  auto* colorRows = column(color, 3);
  cmbIconColors_ =
      dropDown(color, "cmbIconColors",
               {"2 色", "16 色", "256 色", "フルカラー(24ビット)", "フルカラー(32ビット)", "指定"});
  pairRow(*colorRows, new QLabel("使用する色数", color), cmbIconColors_);
  pnlIconColors_ = named(new TPanelEx(color), "pnlIconColors");
  auto* colorsRow = new QHBoxLayout(pnlIconColors_);
  colorsRow->setContentsMargins(0, 0, 0, 0);
  edtIconColors_ = numberEdit(pnlIconColors_, "edtIconColors", 2, 256, true, 2);
  colorsRow->addWidget(new QLabel("色", pnlIconColors_));
  colorsRow->addWidget(edtIconColors_);
  colorsRow->addStretch(1);
  pnlIconColors_->setEnabled(false);
  colorRows->addWidget(pnlIconColors_);
  chkIconTrans_ = named(new TEnableControlCheckBox("透過色を指定する", color), "chkIconTrans");
  cmbIconTransColor_ = named(new TColorBox(color), "cmbIconTransColor");
  cmbIconTransColor_->SetColorStyle(TColorBox::cbStandardColors | TColorBox::cbExtendedColors |
                                    TColorBox::cbSystemColors | TColorBox::cbIncludeDefault |
                                    TColorBox::cbCustomColor | TColorBox::cbPrettyNames);
  cmbIconTransColor_->SetSelected(kColorAuto);
  cmbIconTransColor_->setEnabled(false);
  chkIconTrans_->SetRegulateControl(cmbIconTransColor_);
  pairRow(*colorRows, chkIconTrans_, cmbIconTransColor_);
  v->addWidget(color);

  auto* other = frame("その他", w);
  auto* otherRow = new QHBoxLayout(other);
  chkIconStretch_ =
      named(new QCheckBox("サイズの縮小時に縦横比を保持する", other), "chkIconStretch");
  otherRow->addWidget(chkIconStretch_);
  v->addWidget(other);
  v->addStretch(1);
}

void TfrmOption::buildAbout(QTabWidget& pages) {
  QWidget* w = page(pages, "tabAbout", "バージョン");
  auto* v = column(w, 8);
  v->setContentsMargins(24, 24, 24, 24);
  auto* head = row(*v);
  auto* image = named(new QLabel(w), "imgIcon");
  image->setPixmap(QApplication::windowIcon().pixmap(32, 32));
  image->setFixedSize(36, 36);
  auto* name = named(new QLabel("Vexo", w), "lblAppName");
  QFont bold = name->font();
  bold.setBold(true);
  bold.setPixelSize(13);
  name->setFont(bold);
  lblAppVer_ = named(new QLabel(QStringLiteral(VEXO_VERSION), w), "lblAppVer");
  auto* names = new QVBoxLayout;
  names->addWidget(name);
  names->addWidget(lblAppVer_);
  head->addWidget(image, 0, Qt::AlignTop);
  head->addLayout(names);
  head->addStretch(1);

  flbShowSite_ = named(new TFocusLabel("サポートサイトの表示", w), "flbShowSite");
  QFont link = flbShowSite_->font();
  link.setUnderline(true);
  flbShowSite_->SetFocusedFont(link);
  flbShowSite_->SetFocusedCursor(Qt::PointingHandCursor);
  QPalette blue = flbShowSite_->palette();
  blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
  flbShowSite_->setPalette(blue);
  flbShowSite_->SetLinking(true);
  // There is no web site: the link opens the installed help file.
  flbShowSite_->SetLinkText(HelpFilePath());
  flbShowSite_->Opener = [this](const QString& target) {
    OpenDocument(target);
    return true;
  };
  v->addWidget(flbShowSite_, 0, Qt::AlignLeft);
  v->addStretch(1);
}

void TfrmOption::connectRules() {
  connect(rdoSameFolder_, &QRadioButton::toggled, this, &TfrmOption::outputRadioClick);
  connect(rdoUserFolder_, &QRadioButton::toggled, this, &TfrmOption::outputRadioClick);
  connect(edtCompressRatio_, &TNumberEdit::changed, this, [this] {
    if (tbrCompressRatio_->value() != edtCompressRatio_->IntValue())
      tbrCompressRatio_->setValue(edtCompressRatio_->IntValue());
  });
  connect(tbrCompressRatio_, &QSlider::valueChanged, this, [this](int position) {
    if (edtCompressRatio_->IntValue() != position) edtCompressRatio_->SetIntValue(position);
  });
  connect(rdgSubSampleRatio_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
    if (checked) samplingClick(id);
  });
  connect(chkJpegExif_, &QCheckBox::toggled, this, &TfrmOption::exifClick);
  connect(cmbBmpColor_, &QComboBox::activated, this,
          [this](int item) { chkBmpError_->setEnabled(item >= 0 && item < 4); });
  connect(cmbGifReduct_, &QComboBox::currentIndexChanged, this,
          [this](int item) { pnlGifColor_->setEnabled(item == 6); });
  auto ditherClick = [this] { cmbGifErrorType_->setEnabled(rdoGifError_->isChecked()); };
  connect(rdoGifNearest_, &QRadioButton::toggled, this, ditherClick);
  connect(rdoGifError_, &QRadioButton::toggled, this, ditherClick);
  connect(cmbIconSize_, &QComboBox::activated, this,
          [this](int item) { pnlIconSize_->setEnabled(item == 4); });
  connect(cmbIconColors_, &QComboBox::activated, this,
          [this](int item) { pnlIconColors_->setEnabled(item == 5); });
  connect(btnRefOut_, &QPushButton::clicked, this, &TfrmOption::btnRefOutClick);
  connect(btnRefPlugin_, &QPushButton::clicked, this, &TfrmOption::btnRefPluginClick);
}

void TfrmOption::outputRadioClick() {
  const bool user = rdoUserFolder_->isChecked();
  cmbOutFolder_->setEnabled(user);
  btnRefOut_->setEnabled(user);
}

void TfrmOption::samplingClick(int item) {
  if (item != 1 && chkJpegExif_->isChecked()) {
    chkJpegExif_->setChecked(false);
    chkJpegIncThumb_->setEnabled(false);
  }
}

void TfrmOption::exifClick() {
  const bool exif = chkJpegExif_->isChecked();
  if (exif && itemIndex(*rdgSubSampleRatio_) != 1) setItemIndex(*rdgSubSampleRatio_, 1);
  chkJpegIncThumb_->setEnabled(exif);
}

void TfrmOption::load() {
  const TExtIniFile& ini = iniOpt_;
  auto readBool = [&](const char* section, const char* key, bool def) {
    return ini.ReadBool(section, key, def);
  };
  auto readInt = [&](const char* section, const char* key, int def) {
    return ini.ReadInteger(section, key, def);
  };

  // Base page.
  if (readBool(kSection, "UseOutput", false))
    rdoUserFolder_->setChecked(true);
  else
    rdoSameFolder_->setChecked(true);
  std::vector<std::string> history;
  ini.ReadStrings("History", "Out", history);
  cmbOutFolder_->clear();
  for (const std::string& folder : history) cmbOutFolder_->addItem(qs(folder));
  cmbOutFolder_->setEditText(qs(ini.ReadString(kSection, "Output", "")));
  outputRadioClick();
  setItemIndex(*rdgSameFile_, readInt(kSection, "Same", 1));
  setItemIndex(*rdgImageType_, readInt(kSection, "ImageType", 0));
  chkUsePlugin_->setChecked(readBool(kSection, "Susie", false));
  edtPluginPath_->setText(qs(ini.ReadString(kSection, "Plugin", "")));
  chkBeforeOpen_->setChecked(readBool(kSection, "ShowDlg", false));
  chkAfterOpen_->setChecked(readBool(kSection, "Report", false));
  chkHideProgress_->setChecked(readBool(kSection, "HideProgress", false));

  // Edit page.
  chkSizeChange_->setChecked(readBool(kSection, "ChangeSize", false));
  chkSizeChange_->UpdateRegulated();
  cmbSizeBase_->setCurrentIndex(readInt(kSection, "MaxSize", 0));
  edtMaxSize_->SetIntValue(readInt(kSection, "Size", 100));
  cmbSizeUnit_->setCurrentIndex(readInt(kSection, "SizeUnit", 1));
  chkRotate_->setChecked(readBool(kSection, "Rotate", false));
  chkRotate_->UpdateRegulated();
  const int angle = readInt(kSection, "Angle", 90);
  if (angle == 90 || angle == 180 || angle == 270)
    angles_->button(angle)->setChecked(true);
  else
    clearChecks(*angles_);
  chkMirror_->setChecked(readBool(kSection, "Mirror", false));
  chkFlip_->setChecked(readBool(kSection, "Flip", false));

  // JPEG page: a checked Exif box forces 4:2:2 through its click rule.
  edtCompressRatio_->SetIntValue(100 - readInt("Jpeg", "Compress", 75));
  setItemIndex(*rdgSubSampleRatio_, readInt("Jpeg", "Sampling", 0));
  edtResoX_->SetIntValue(readInt("Jpeg", "Xden", 0));
  edtResoY_->SetIntValue(readInt("Jpeg", "Yden", 0));
  cmbResoUnit_->setCurrentIndex(readInt("Jpeg", "Unit", 0));
  chkJpegGrayscale_->setChecked(readBool("Jpeg", "Gray", false));
  chkJpegExif_->setChecked(readBool("Jpeg", "Exif", false));
  chkJpegIncThumb_->setChecked(readBool("Jpeg", "ExifThumb", false));
  chkJpegIncThumb_->setEnabled(chkJpegExif_->isChecked());
  edtJpegRestart_->SetIntValue(readInt("Jpeg", "Interval", 0));
  edtJpegComment_->setText(qs(ini.ReadString("Jpeg", "Comment", "")));

  // BMP page.
  const int bmpBits = readInt("BMP", "Color", 0);
  int bmpItem = 7;
  for (int i = 0; i < static_cast<int>(kBmpBits.size()); ++i)
    if (kBmpBits[i] == bmpBits) bmpItem = i;
  cmbBmpColor_->setCurrentIndex(bmpItem);
  chkBmpError_->setChecked(readBool("BMP", "Error", false));
  chkBmpError_->setEnabled(bmpItem < 4);
  chkBmpMono_->setChecked(readBool("BMP", "Mono", false));

  // PNG page.
  setItemIndex(*rdgPngCompress_, readInt("PNG", "Compress", 1));
  const int pngBits = readInt("PNG", "Color", 0);
  int pngItem = 6;
  for (int i = 0; i < static_cast<int>(kPngBits.size()); ++i)
    if (kPngBits[i] == pngBits) pngItem = i;
  cmbPngColor_->setCurrentIndex(pngItem);
  chkPngUseError_->setChecked(readBool("PNG", "Error", false));
  chkPngGrayscale_->setChecked(readBool("PNG", "Gray", false));
  chkPngTrans_->setChecked(readBool("PNG", "UseTrans", false));
  chkPngTrans_->UpdateRegulated();
  cmbPngTransColor_->SetSelected(ini.ReadColor("PNG", "TransColor", 0));
  const int filters = readInt("PNG", "FilterVal", 31);
  for (int i = 0; i < 5; ++i) pngFilters_[i]->setChecked((filters & (1 << i)) != 0);
  chkPngInteres_->setChecked(readBool("PNG", "Interlace", false));
  chkPngUseComment_->setChecked(readBool("PNG", "UseText", false));
  chkPngUseComment_->UpdateRegulated();
  edtPngComment_->setText(qs(ini.ReadString("PNG", "Text", "")));

  // GIF page.
  cmbGifReduct_->setCurrentIndex(readInt("GIF", "Palette", 5));
  cmbGifColor_->setCurrentIndex(readInt("GIF", "Color", 5));
  pnlGifColor_->setEnabled(cmbGifReduct_->currentIndex() == 6);
  if (readBool("GIF", "Dither", true))
    rdoGifNearest_->setChecked(true);
  else
    rdoGifError_->setChecked(true);
  cmbGifErrorType_->setEnabled(rdoGifError_->isChecked());
  cmbGifErrorType_->setCurrentIndex(readInt("GIF", "Error", 0));
  chkGifTrans_->setChecked(readBool("GIF", "UseTrans", false));
  chkGifTrans_->UpdateRegulated();
  cmbGifTransColor_->SetSelected(ini.ReadColor("GIF", "TransColor", kColorAuto));
  setItemIndex(*rdgGifCompress_, readInt("GIF", "Compress", 0));

  // WMF/EMF page.
  edtCreate_->setText(qs(ini.ReadString("WMF", "Create", "")));
  edtDesc_->setText(qs(ini.ReadString("WMF", "Text", "")));

  // Icon page.
  cmbIconSize_->setCurrentIndex(readInt("ICO", "SizeIndex", 0));
  pnlIconSize_->setEnabled(cmbIconSize_->currentIndex() == 4);
  edtIconSize_->SetIntValue(readInt("ICO", "Size", 32));
  cmbIconColors_->setCurrentIndex(readInt("ICO", "Colors", 2));
  pnlIconColors_->setEnabled(cmbIconColors_->currentIndex() == 5);
  edtIconColors_->SetIntValue(readInt("ICO", "ColorCount", 256));
  chkIconTrans_->setChecked(readBool("ICO", "Trans", false));
  chkIconTrans_->UpdateRegulated();
  cmbIconTransColor_->SetSelected(ini.ReadColor("ICO", "TransColor", kColorAuto));
  chkIconStretch_->setChecked(readBool("ICO", "Stretch", false));
}

void TfrmOption::save() {
  TExtIniFile& ini = iniOpt_;

  ini.WriteBool(kSection, "UseOutput", rdoUserFolder_->isChecked());
  const QString output = cmbOutFolder_->currentText();
  ini.WriteString(kSection, "Output", ss(output));

  // The folder history: the folder just used moves to the top, at most five are kept.
  const int found = cmbOutFolder_->findText(output, Qt::MatchFixedString);  // without case
  if (found < 0) {
    cmbOutFolder_->insertItem(0, output);
    while (cmbOutFolder_->count() > 5) cmbOutFolder_->removeItem(cmbOutFolder_->count() - 1);
  } else if (found > 0) {
    const QString item = cmbOutFolder_->itemText(found);
    cmbOutFolder_->removeItem(found);
    cmbOutFolder_->insertItem(0, item);
  }
  cmbOutFolder_->setEditText(output);
  std::vector<std::string> history;
  for (int i = 0; i < cmbOutFolder_->count(); ++i)
    history.push_back(ss(cmbOutFolder_->itemText(i)));
  ini.WriteStrings("History", "Out", history);

  ini.WriteInteger(kSection, "Same", itemIndex(*rdgSameFile_));
  ini.WriteInteger(kSection, "ImageType", itemIndex(*rdgImageType_));
  ini.WriteBool(kSection, "Susie", chkUsePlugin_->isChecked());
  ini.WriteString(kSection, "Plugin", ss(edtPluginPath_->text()));
  ini.WriteBool(kSection, "ShowDlg", chkBeforeOpen_->isChecked());
  ini.WriteBool(kSection, "Report", chkAfterOpen_->isChecked());
  ini.WriteBool(kSection, "HideProgress", chkHideProgress_->isChecked());
  ini.WriteBool(kSection, "ChangeSize", chkSizeChange_->isChecked());
  ini.WriteInteger(kSection, "MaxSize", cmbSizeBase_->currentIndex());
  ini.WriteInteger(kSection, "Size", edtMaxSize_->IntValue());
  ini.WriteInteger(kSection, "SizeUnit", cmbSizeUnit_->currentIndex());
  ini.WriteBool(kSection, "Rotate", chkRotate_->isChecked());
  if (angles_->checkedId() > 0) ini.WriteInteger(kSection, "Angle", angles_->checkedId());
  ini.WriteBool(kSection, "Mirror", chkMirror_->isChecked());
  ini.WriteBool(kSection, "Flip", chkFlip_->isChecked());

  ini.WriteInteger("Jpeg", "Compress", 100 - edtCompressRatio_->IntValue());
  ini.WriteInteger("Jpeg", "Sampling", itemIndex(*rdgSubSampleRatio_));
  ini.WriteInteger("Jpeg", "Xden", edtResoX_->IntValue());
  ini.WriteInteger("Jpeg", "Yden", edtResoY_->IntValue());
  ini.WriteInteger("Jpeg", "Unit", cmbResoUnit_->currentIndex());
  ini.WriteBool("Jpeg", "Gray", chkJpegGrayscale_->isChecked());
  ini.WriteBool("Jpeg", "Exif", chkJpegExif_->isChecked());
  ini.WriteBool("Jpeg", "ExifThumb", chkJpegIncThumb_->isChecked());
  ini.WriteInteger("Jpeg", "Interval", edtJpegRestart_->IntValue());
  ini.WriteString("Jpeg", "Comment", ss(edtJpegComment_->text()));

  const int bmpItem = cmbBmpColor_->currentIndex();
  ini.WriteInteger("BMP", "Color", bmpItem >= 0 && bmpItem <= 6 ? kBmpBits[bmpItem] : 32);
  ini.WriteBool("BMP", "Error", chkBmpError_->isChecked());
  ini.WriteBool("BMP", "Mono", chkBmpMono_->isChecked());

  ini.WriteInteger("PNG", "Compress", itemIndex(*rdgPngCompress_));
  const int pngItem = cmbPngColor_->currentIndex();
  ini.WriteInteger("PNG", "Color", pngItem >= 0 && pngItem <= 5 ? kPngBits[pngItem] : 24);
  ini.WriteBool("PNG", "Error", chkPngUseError_->isChecked());
  ini.WriteBool("PNG", "Gray", chkPngGrayscale_->isChecked());
  ini.WriteBool("PNG", "UseTrans", chkPngTrans_->isChecked());
  ini.WriteColor("PNG", "TransColor", cmbPngTransColor_->Selected());
  int filters = 0;
  for (int i = 0; i < 5; ++i)
    if (pngFilters_[i]->isChecked()) filters += 1 << i;
  ini.WriteInteger("PNG", "FilterVal", filters);
  ini.WriteBool("PNG", "Interlace", chkPngInteres_->isChecked());
  ini.WriteBool("PNG", "UseText", chkPngUseComment_->isChecked());
  ini.WriteString("PNG", "Text", ss(edtPngComment_->text()));

  ini.WriteInteger("GIF", "Palette", cmbGifReduct_->currentIndex());
  ini.WriteInteger("GIF", "Color", cmbGifColor_->currentIndex());
  ini.WriteBool("GIF", "Dither", rdoGifNearest_->isChecked());
  ini.WriteInteger("GIF", "Error", cmbGifErrorType_->currentIndex());
  ini.WriteBool("GIF", "UseTrans", chkGifTrans_->isChecked());
  ini.WriteColor("GIF", "TransColor", cmbGifTransColor_->Selected());
  ini.WriteInteger("GIF", "Compress", itemIndex(*rdgGifCompress_));

  ini.WriteString("WMF", "Create", ss(edtCreate_->text()));
  ini.WriteString("WMF", "Text", ss(edtDesc_->text()));

  ini.WriteInteger("ICO", "SizeIndex", cmbIconSize_->currentIndex());
  ini.WriteInteger("ICO", "Size", edtIconSize_->IntValue());
  ini.WriteInteger("ICO", "Colors", cmbIconColors_->currentIndex());
  ini.WriteInteger("ICO", "ColorCount", edtIconColors_->IntValue());
  ini.WriteBool("ICO", "Trans", chkIconTrans_->isChecked());
  ini.WriteColor("ICO", "TransColor", cmbIconTransColor_->Selected());
  ini.WriteBool("ICO", "Stretch", chkIconStretch_->isChecked());
}

void TfrmOption::btnSetClick() {
  save();
  iniOpt_.UpdateFile();
  done(kOptionSet);
}

void TfrmOption::btnHelpClick() {
  const QString help = HelpFilePath();
  if (!help.isEmpty()) OpenDocument(help);
}

void TfrmOption::btnRefPluginClick() {
  dlgFolder_->SetFolder(edtPluginPath_->text());
  if (dlgFolder_->Execute()) edtPluginPath_->setText(dlgFolder_->Folder());
}

void TfrmOption::btnRefOutClick() {
  dlgFolder_->SetFolder(cmbOutFolder_->currentText());
  if (!dlgFolder_->Execute()) return;
  const QString chosen = dlgFolder_->Folder();
  const int item = cmbOutFolder_->findText(chosen, Qt::MatchFixedString);
  if (item >= 0) {
    cmbOutFolder_->setCurrentIndex(item);
    cmbOutFolder_->setEditText(cmbOutFolder_->itemText(item));
  } else {
    cmbOutFolder_->setEditText(chosen);
  }
}

}  // namespace vexo
